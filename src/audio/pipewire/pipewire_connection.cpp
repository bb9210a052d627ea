#include "audio/pipewire/pipewire_connection.h"

#include <pipewire/extensions/metadata.h>
#include <spa/param/audio/format.h>
#include <spa/param/param.h>
#include <spa/pod/iter.h>

#include <cstring>

#include "audio/pipewire/pipewire_statuses.h"
#include "audio/pipewire/pipewire_stream.h"

namespace lumvar::audio::pipewire {
namespace {

enum Kind { kDefaults, kSettings, kNode };

Properties propertiesOf(const spa_dict* dict) {
    Properties properties;
    if (dict == nullptr) return properties;
    const spa_dict_item* item = nullptr;
    spa_dict_for_each(item, dict) {
        if (item->key != nullptr && item->value != nullptr) properties.emplace(item->key, item->value);
    }
    return properties;
}

// The first value (the default of a choice) of an integer property of a format object; 0 if none.
std::uint32_t formatNumber(const spa_pod* format, std::uint32_t key) {
    const spa_pod_prop* prop = spa_pod_find_prop(format, nullptr, key);
    if (prop == nullptr) return 0;
    std::uint32_t count = 0, choice = 0;
    const spa_pod* value = spa_pod_get_values(&prop->value, &count, &choice);
    std::int32_t number = 0;
    if (count == 0 || spa_pod_get_int(value, &number) < 0 || number <= 0) return 0;
    return static_cast<std::uint32_t>(number);
}

}  // namespace

// A proxy bound to a global: the "default" or "settings" metadata, or a node whose format is needed.
struct PipeWireConnection::Bound {
    PipeWireConnection* self = nullptr;
    std::uint32_t id = 0;
    int kind = kNode;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    bool formatSeen = false;

    ~Bound() {
        spa_hook_remove(&listener);
        pw_proxy_destroy(proxy);
    }
};

// libpipewire's events: each runs on the loop's thread with the lock held.
struct GraphEvents {
    static void done(void* data, std::uint32_t id, int seq) {
        auto& self = *static_cast<PipeWireConnection*>(data);
        if (id != PW_ID_CORE) return;
        self.done_.insert(seq);
        if (seq == self.loadSeq_) loaded(self);
        self.signal();
    }

    // A new connection is complete after two round trips: the globals, then what was bound for them.
    static void loaded(PipeWireConnection& self) {
        self.done_.erase(self.loadSeq_);
        if (++self.loadStep_ == 1) {
            self.loadSeq_ = pw_core_sync(self.core_, PW_ID_CORE, 0);
            return;
        }
        self.loadSeq_ = -1;
        self.connected_ = true;
        self.everConnected_ = true;
        self.backoff_.reset();
        self.arm(self.attemptLimit_, std::chrono::milliseconds{0});
        self.observer_.connectionChanged(true);
    }

    static void error(void* data, std::uint32_t id, int, int res, const char*) {
        auto& self = *static_cast<PipeWireConnection*>(data);
        if (id == PW_ID_CORE && res == -EPIPE) self.lost();
    }

    static void global(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t version,
                       const spa_dict* props) {
        auto& self = *static_cast<PipeWireConnection*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            self.observer_.modelChanged(self.graph_.addNode(id, propertiesOf(props)));
            if (self.graph_.needsFormat(id)) self.bind(id, type, PW_VERSION_NODE, kNode);
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && props != nullptr) {
            const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
            if (name != nullptr && std::strcmp(name, "default") == 0)
                self.bind(id, type, std::min<std::uint32_t>(version, PW_VERSION_METADATA), kDefaults);
            if (name != nullptr && std::strcmp(name, "settings") == 0)
                self.bind(id, type, std::min<std::uint32_t>(version, PW_VERSION_METADATA), kSettings);
        }
    }

    static void globalRemoved(void* data, std::uint32_t id) {
        auto& self = *static_cast<PipeWireConnection*>(data);
        const auto bound = self.bound_.find(id);
        if (bound != self.bound_.end()) {
            const int kind = bound->second->kind;
            self.bound_.erase(bound);
            if (kind == kDefaults) self.observer_.modelChanged(self.graph_.defaultsGone());
        }
        self.observer_.modelChanged(self.graph_.removeNode(id));
    }

    static int property(void* data, std::uint32_t subject, const char* key, const char*, const char* value) {
        auto& bound = *static_cast<PipeWireConnection::Bound*>(data);
        auto& self = *bound.self;
        if (subject != PW_ID_CORE) return 0;
        self.observer_.modelChanged(bound.kind == kDefaults ? self.graph_.defaultsProperty(key, value)
                                                            : self.graph_.settingsProperty(key, value));
        return 0;
    }

    static void param(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t, const spa_pod* param) {
        auto& bound = *static_cast<PipeWireConnection::Bound*>(data);
        if (id != SPA_PARAM_EnumFormat || bound.formatSeen || param == nullptr) return;
        if (!spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Format)) return;
        bound.formatSeen = true;  // the first is the node's preferred format
        bound.self->observer_.modelChanged(
            bound.self->graph_.nodeFormat(bound.id, formatNumber(param, SPA_FORMAT_AUDIO_channels),
                                          formatNumber(param, SPA_FORMAT_AUDIO_rate)));
    }

    static void retryNow(void* data, std::uint64_t) {
        auto& self = *static_cast<PipeWireConnection*>(data);
        self.disconnect();
        if (!self.closing_) self.connect();
    }

    static void attemptExpired(void* data, std::uint64_t) {
        auto& self = *static_cast<PipeWireConnection*>(data);
        if (!self.connected_ && self.core_ != nullptr) self.lost();
    }

    static constexpr pw_core_events core = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = done;
        events.error = error;
        return events;
    }();
    static constexpr pw_registry_events registry = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = global;
        events.global_remove = globalRemoved;
        return events;
    }();
    static constexpr pw_metadata_events metadata = [] {
        pw_metadata_events events{};
        events.version = PW_VERSION_METADATA_EVENTS;
        events.property = property;
        return events;
    }();
    static constexpr pw_node_events node = [] {
        pw_node_events events{};
        events.version = PW_VERSION_NODE_EVENTS;
        events.param = param;
        return events;
    }();
};

PipeWireConnection::PipeWireConnection(const Text& text, Observer& observer)
    : observer_(observer), graph_(text) {
    pw_init(nullptr, nullptr);
    pw_log_set_level(SPA_LOG_LEVEL_NONE);  // standard error carries the helper's own lines only
    loop_ = pw_thread_loop_new("lumvar-pipewire", nullptr);
    if (loop_ == nullptr) return;
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_log_set_level(SPA_LOG_LEVEL_NONE);
    if (context_ == nullptr || pw_thread_loop_start(loop_) < 0) return;
    ServerConnection::Lock lock(*this);
    pw_loop* loop = pw_thread_loop_get_loop(loop_);
    retry_ = pw_loop_add_timer(loop, &GraphEvents::retryNow, this);
    attemptLimit_ = pw_loop_add_timer(loop, &GraphEvents::attemptExpired, this);
    connect();
    waitLocked([this] { return connected_ || core_ == nullptr || broken_; }, kConnectTimeout);
    if (!connected_) disconnect();  // no daemon, or one that never answers: not tried again
}

PipeWireConnection::~PipeWireConnection() {
    if (loop_ == nullptr) return;
    if (context_ != nullptr) {
        {
            ServerConnection::Lock lock(*this);
            closing_ = true;
            disconnect();
            pw_loop* loop = pw_thread_loop_get_loop(loop_);
            if (retry_ != nullptr) pw_loop_destroy_source(loop, retry_);
            if (attemptLimit_ != nullptr) pw_loop_destroy_source(loop, attemptLimit_);
        }
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
    }
    pw_thread_loop_destroy(loop_);
}

void PipeWireConnection::connect() {
    pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, "lumvar-capture", nullptr);
    core_ = pw_context_connect(context_, properties, 0);
    if (core_ == nullptr) {
        if (everConnected_ && !closing_) arm(retry_, backoff_.next());
        return;
    }
    pw_core_add_listener(core_, &coreListener_, &GraphEvents::core, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryListener_, &GraphEvents::registry, this);
    graph_.clear();
    broken_ = false;
    loadStep_ = 0;
    loadSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    if (everConnected_) arm(attemptLimit_, kConnectTimeout);  // the first is limited by the constructor
}

void PipeWireConnection::disconnect() {
    if (core_ == nullptr) return;
    bound_.clear();
    spa_hook_remove(&registryListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
    spa_hook_remove(&coreListener_);
    pw_core_disconnect(core_);  // ends and destroys the streams made on it; each tells its owner
    core_ = nullptr;
    done_.clear();
    loadSeq_ = -1;
    if (connected_.exchange(false)) observer_.connectionChanged(false);
    signal();
}

// The core cannot be dropped inside its own events: the retry does that first.
void PipeWireConnection::lost() {
    broken_ = true;
    if (connected_.exchange(false)) observer_.connectionChanged(false);
    signal();
    if (!everConnected_ || closing_) return;
    arm(retry_, backoff_.next());
}

void PipeWireConnection::arm(spa_source* timer, std::chrono::milliseconds after) {
    if (timer == nullptr) return;
    timespec value{};  // zero disarms
    value.tv_sec = after.count() / 1000;
    value.tv_nsec = (after.count() % 1000) * 1'000'000;
    timespec interval{};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer, &value, &interval, false);
}

void PipeWireConnection::bind(std::uint32_t id, const char* type, std::uint32_t version, int kind) {
    auto bound = std::make_unique<Bound>();
    bound->self = this;
    bound->id = id;
    bound->kind = kind;
    bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, version, 0));
    if (bound->proxy == nullptr) return;
    if (kind == kNode) {
        pw_proxy_add_object_listener(bound->proxy, &bound->listener, &GraphEvents::node, bound.get());
        pw_node_enum_params(reinterpret_cast<pw_node*>(bound->proxy), 0, SPA_PARAM_EnumFormat, 0, 1, nullptr);
    } else {
        pw_proxy_add_object_listener(bound->proxy, &bound->listener, &GraphEvents::metadata, bound.get());
    }
    bound_[id] = std::move(bound);
}

OSStatus PipeWireConnection::usable() const {
    return connected_ ? kAudioHardwareNoError : kNotConnected;
}

OSStatus PipeWireConnection::sync() {
    ServerConnection::Lock lock(*this);
    if (!connected_) return kNotConnected;
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    const bool done = waitLocked([&] { return !connected_ || done_.contains(seq); }, kRequestTimeout);
    done_.erase(seq);
    if (!connected_) return kNotConnected;
    return done ? kAudioHardwareNoError : kTimedOut;
}

bool PipeWireConnection::waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, static_cast<std::int64_t>(timeout.count()) * 1'000'000);
    bool finished = done();
    while (!finished) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) return done();
        finished = done();
    }
    return true;
}

std::unique_ptr<server::CaptureStream> PipeWireConnection::makeStream(const AudioDeviceIOBlock& block,
                                                                      std::function<void()> died) {
    return std::make_unique<PipeWireStream>(*this, block, std::move(died));
}

std::unique_ptr<server::ServerConnection> connectPipeWire(const Text& text,
                                                          server::ServerConnection::Observer& observer) {
    auto connection = std::make_unique<PipeWireConnection>(text, observer);
    if (!connection->everConnected()) return nullptr;
    return connection;
}

}  // namespace lumvar::audio::pipewire
