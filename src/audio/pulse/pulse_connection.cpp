#include "audio/pulse/pulse_connection.h"

#include <algorithm>

#include "audio/pulse/pulse_statuses.h"
#include "audio/pulse/record_stream.h"

namespace lumvar::audio::pulse {
namespace {

DeviceInfo sinkInfo(const pa_sink_info& info) {
    return {true,
            info.index,
            info.name ? info.name : "",
            info.description ? info.description : "",
            info.sample_spec.channels,
            info.sample_spec.rate,
            info.monitor_source_name ? info.monitor_source_name : "",
            ""};
}

DeviceInfo sourceInfo(const pa_source_info& info) {
    return {false,
            info.index,
            info.name ? info.name : "",
            info.description ? info.description : "",
            info.sample_spec.channels,
            info.sample_spec.rate,
            "",
            info.monitor_of_sink_name ? info.monitor_of_sink_name : ""};
}

Defaults defaultsOf(const pa_server_info& info) {
    return {info.default_sink_name ? info.default_sink_name : "",
            info.default_source_name ? info.default_source_name : ""};
}

}  // namespace

// libpulse's callbacks: each runs on the loop's thread with the lock held, and ignores what belongs
// to a context that is no longer the current one.
struct ConnectionCallbacks {
    static PulseConnection& of(void* userdata) { return *static_cast<PulseConnection*>(userdata); }

    static void state(pa_context* context, void* userdata) {
        auto& self = of(userdata);
        pa_threaded_mainloop_signal(self.loop_, 0);
        if (context != self.context_) return;
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) ready(self);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) self.contextGone();
    }

    // A new connection: listen to changes first, then load the whole model.
    static void ready(PulseConnection& self) {
        pa_context_set_subscribe_callback(self.context_, &event, &self);
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation* operation = pa_context_subscribe(self.context_, mask, nullptr, nullptr))
            pa_operation_unref(operation);
        self.model_.clear();
        self.loading_ = 3;
        for (pa_operation* operation :
             {pa_context_get_server_info(self.context_, &serverLoaded, &self),
              pa_context_get_sink_info_list(self.context_, &sinkLoaded, &self),
              pa_context_get_source_info_list(self.context_, &sourceLoaded, &self)}) {
            if (operation == nullptr) return self.contextGone();
            pa_operation_unref(operation);
        }
    }

    static void loaded(PulseConnection& self) {
        if (--self.loading_ > 0) return;
        self.connected_ = true;
        self.everConnected_ = true;
        if (self.attemptLimit_ != nullptr) self.api()->time_restart(self.attemptLimit_, nullptr);
        self.backoff_.reset();
        self.observer_.connectionChanged(true);
        pa_threaded_mainloop_signal(self.loop_, 0);
    }

    static void serverLoaded(pa_context* context, const pa_server_info* info, void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        if (info != nullptr) self.model_.setDefaults(defaultsOf(*info));
        loaded(self);
    }

    static void sinkLoaded(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        if (eol != 0) return loaded(self);
        self.model_.put(sinkInfo(*info));
    }

    static void sourceLoaded(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        if (eol != 0) return loaded(self);
        self.model_.put(sourceInfo(*info));
    }

    // A change the server announces: removals apply at once, the rest is asked for.
    static void event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            self.fetch(pa_context_get_server_info(context, &defaultsFetched, &self));
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
            const bool isSink = facility == PA_SUBSCRIPTION_EVENT_SINK;
            if (removed) {
                self.observer_.modelChanged(self.model_.remove(isSink, index));
            } else if (isSink) {
                self.fetch(pa_context_get_sink_info_by_index(context, index, &sinkFetched, &self));
            } else {
                self.fetch(pa_context_get_source_info_by_index(context, index, &sourceFetched, &self));
            }
        }
    }

    static void sinkFetched(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        if (eol != 0) return self.fetched();
        self.observer_.modelChanged(self.model_.put(sinkInfo(*info)));
    }

    static void sourceFetched(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        if (eol != 0) return self.fetched();
        self.observer_.modelChanged(self.model_.put(sourceInfo(*info)));
    }

    static void defaultsFetched(pa_context* context, const pa_server_info* info, void* userdata) {
        auto& self = of(userdata);
        if (context != self.context_) return;
        if (info != nullptr) self.observer_.modelChanged(self.model_.setDefaults(defaultsOf(*info)));
        self.fetched();
    }

    static void retryNow(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        of(userdata).connect();
    }

    // A reconnection still without its answers: given up, and tried again after the back-off.
    static void attemptExpired(pa_mainloop_api* api, pa_time_event* timer, const timeval*, void* userdata) {
        auto& self = of(userdata);
        api->time_restart(timer, nullptr);
        if (!self.connected_ && self.context_ != nullptr) self.contextGone();
    }
};

PulseConnection::PulseConnection(const Text& text, Observer& observer) : observer_(observer), model_(text) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) return;
    ServerConnection::Lock lock(*this);
    connect();
    waitLocked([this] { return connected_ || context_ == nullptr; }, kConnectTimeout);
    if (!connected_ && context_ != nullptr) contextGone();  // a server that never answers: not tried again
}

PulseConnection::~PulseConnection() {
    if (loop_ == nullptr) return;
    {
        ServerConnection::Lock lock(*this);
        closing_ = true;
        if (retry_ != nullptr) api()->time_free(retry_);
        retry_ = nullptr;
        if (attemptLimit_ != nullptr) api()->time_free(attemptLimit_);
        attemptLimit_ = nullptr;
        if (context_ != nullptr) contextGone();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseConnection::connect() {
    context_ = pa_context_new(api(), "lumvar-capture");
    if (context_ == nullptr) return scheduleRetry();
    pa_context_set_state_callback(context_, &ConnectionCallbacks::state, this);
    if (everConnected_) limitAttempt();  // the first attempt is limited by the constructor's wait
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) contextGone();
}

void PulseConnection::limitAttempt() {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(kConnectTimeout.count()) * 1000);
    if (attemptLimit_ == nullptr) {
        attemptLimit_ = api()->time_new(api(), &when, &ConnectionCallbacks::attemptExpired, this);
    } else {
        api()->time_restart(attemptLimit_, &when);
    }
}

void PulseConnection::contextGone() {
    if (context_ == nullptr) return;  // already gone: a failed connect may have said so through its callback
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);  // libpulse holds its own reference while it calls us
    context_ = nullptr;
    loading_ = 0;
    pendingFetches_ = 0;  // answers of a dead connection never come
    if (connected_.exchange(false)) observer_.connectionChanged(false);
    pa_threaded_mainloop_signal(loop_, 0);
    if (everConnected_ && !closing_) scheduleRetry();
}

void PulseConnection::scheduleRetry() {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(backoff_.next().count()) * 1000);
    if (retry_ == nullptr) {
        retry_ = api()->time_new(api(), &when, &ConnectionCallbacks::retryNow, this);
    } else {
        api()->time_restart(retry_, &when);
    }
}

void PulseConnection::fetch(pa_operation* operation) {
    if (operation == nullptr) return;
    ++pendingFetches_;
    pa_operation_unref(operation);
}

void PulseConnection::fetched() {
    if (pendingFetches_ > 0) --pendingFetches_;
    pa_threaded_mainloop_signal(loop_, 0);
}

OSStatus PulseConnection::usable() const {
    return connected_ ? kAudioHardwareNoError : kNotConnected;
}

OSStatus PulseConnection::sync() {
    ServerConnection::Lock lock(*this);
    if (!connected_) return kNotConnected;
    struct Answer {
        PulseConnection* self;
        bool done = false;
    } answer{this};
    pa_operation* operation = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto& waiting = *static_cast<Answer*>(userdata);
            if (info != nullptr)
                waiting.self->observer_.modelChanged(waiting.self->model_.setDefaults(defaultsOf(*info)));
            waiting.done = true;
            pa_threaded_mainloop_signal(waiting.self->loop_, 0);
        },
        &answer);
    if (operation == nullptr) return kNotConnected;
    // The server answers in order: what it announced before this answer has been asked for by now,
    // and those answers are awaited too.
    const bool done =
        waitLocked([&] { return !connected_ || (answer.done && pendingFetches_ == 0); }, kRequestTimeout);
    if (!answer.done) pa_operation_cancel(operation);  // no callback runs after this
    pa_operation_unref(operation);
    if (!connected_) return kNotConnected;
    return done ? kAudioHardwareNoError : kTimedOut;
}

std::unique_ptr<server::CaptureStream> PulseConnection::makeStream(const AudioDeviceIOBlock& block,
                                                                   std::function<void()> died) {
    return std::make_unique<RecordStream>(*this, block, std::move(died));
}

bool PulseConnection::waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    struct Wait {
        bool expired;
        pa_threaded_mainloop* loop;
    } wait{false, loop_};
    timeval deadline{};
    pa_gettimeofday(&deadline);
    pa_timeval_add(&deadline, static_cast<pa_usec_t>(timeout.count()) * 1000);
    pa_time_event* timer = api()->time_new(
        api(), &deadline,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
            auto* waiting = static_cast<Wait*>(userdata);
            waiting->expired = true;
            pa_threaded_mainloop_signal(waiting->loop, 0);
        },
        &wait);
    bool finished = done();
    while (!finished && !wait.expired) {
        pa_threaded_mainloop_wait(loop_);
        finished = done();
    }
    api()->time_free(timer);  // under the lock: its callback cannot run any more
    return finished;
}

std::unique_ptr<server::ServerConnection> connectPulse(const Text& text,
                                                       server::ServerConnection::Observer& observer) {
    return std::make_unique<PulseConnection>(text, observer);
}

}  // namespace lumvar::audio::pulse
