#include "audio/pulse/pulse_connection.h"

#include "audio/pulse/pulse_statuses.h"
#include "audio/pulse/record_stream.h"

namespace lumvar::audio::pulse {

// What a request's callbacks fill in; written on the loop's thread under answerMutex_.
template <typename T>
struct Answer {
    PulseConnection* connection = nullptr;
    T value{};
    bool done = false;
    bool failed = false;
};

struct Callbacks {
    static void contextState(pa_context*, void* userdata) {
        auto* connection = static_cast<PulseConnection*>(userdata);
        pa_threaded_mainloop_signal(connection->loop_, 0);
    }

    // The server's defaults changed (or something else about it): look for a new default sink.
    static void serverEvent(pa_context* context, pa_subscription_event_type_t, std::uint32_t, void* userdata) {
        pa_operation* operation = pa_context_get_server_info(context, &Callbacks::defaultsNow, userdata);
        if (operation != nullptr) pa_operation_unref(operation);
    }

    static void defaultsNow(pa_context* context, const pa_server_info* info, void* userdata) {
        auto* connection = static_cast<PulseConnection*>(userdata);
        if (info == nullptr || info->default_sink_name == nullptr) return;
        if (connection->defaultSink_ == info->default_sink_name) return;
        connection->defaultSink_ = info->default_sink_name;
        pa_operation* operation =
            pa_context_get_sink_info_by_name(context, info->default_sink_name, &Callbacks::newDefaultSink, userdata);
        if (operation != nullptr) pa_operation_unref(operation);
    }

    static void newDefaultSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* connection = static_cast<PulseConnection*>(userdata);
        if (eol != 0 || info == nullptr || info->monitor_source_name == nullptr) return;
        for (RecordStream* stream : connection->followers_) stream->moveTo(info->monitor_source_name);
    }

    template <typename T>
    static void finish(Answer<T>& answer, bool failed) {
        {
            std::lock_guard guard(answer.connection->answerMutex_);
            answer.done = true;
            answer.failed = failed;
        }
        answer.connection->answer_.notify_all();
    }

    static void server(pa_context*, const pa_server_info* info, void* userdata) {
        auto& answer = *static_cast<Answer<ServerInfo>*>(userdata);
        if (info != nullptr) {
            std::lock_guard guard(answer.connection->answerMutex_);
            answer.value.defaultSink = info->default_sink_name ? info->default_sink_name : "";
            answer.value.defaultSource = info->default_source_name ? info->default_source_name : "";
        }
        finish(answer, info == nullptr);
    }

    static void sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto& answer = *static_cast<Answer<std::vector<DeviceInfo>>*>(userdata);
        if (eol != 0) return finish(answer, eol < 0);
        std::lock_guard guard(answer.connection->answerMutex_);
        answer.value.push_back({true, info->index, info->name ? info->name : "",
                                info->description ? info->description : "", info->sample_spec.channels,
                                info->sample_spec.rate, info->monitor_source_name ? info->monitor_source_name : ""});
    }

    static void source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto& answer = *static_cast<Answer<std::vector<DeviceInfo>>*>(userdata);
        if (eol != 0) return finish(answer, eol < 0);
        std::lock_guard guard(answer.connection->answerMutex_);
        answer.value.push_back({false, info->index, info->name ? info->name : "",
                                info->description ? info->description : "", info->sample_spec.channels,
                                info->sample_spec.rate, ""});
    }
};

PulseConnection::PulseConnection() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return;
    context_ = pa_context_new(api(), "lumvar-capture");
    if (context_ == nullptr) return;
    pa_context_set_state_callback(context_, &Callbacks::contextState, this);
    if (pa_threaded_mainloop_start(loop_) < 0) return;

    Lock lock(*this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return;
    waitLocked(
        [this] {
            const pa_context_state_t state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        kConnectTimeout);
    connected_ = pa_context_get_state(context_) == PA_CONTEXT_READY;
    if (!connected_) return;

    pa_context_set_subscribe_callback(context_, &Callbacks::serverEvent, this);
    if (pa_operation* operation = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr))
        pa_operation_unref(operation);
    Callbacks::serverEvent(context_, PA_SUBSCRIPTION_EVENT_SERVER, 0, this);  // learn the current default
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

PulseConnection::~PulseConnection() {
    if (context_ != nullptr) {
        {
            Lock lock(*this);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
    }
    if (loop_ != nullptr) {
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
}

OSStatus PulseConnection::usable() const { return connected_ ? kAudioHardwareNoError : kNotConnected; }

OSStatus PulseConnection::request(const std::function<pa_operation*()>& issue, const std::function<bool()>& done) {
    if (!connected_) return kNotConnected;
    pa_operation* operation = nullptr;
    {
        Lock lock(*this);
        operation = issue();
    }
    if (operation == nullptr) return kNotConnected;
    bool answered = false;
    {
        std::unique_lock wait(answerMutex_);
        answered = answer_.wait_for(wait, kRequestTimeout, done);
    }
    Lock lock(*this);
    if (!answered) pa_operation_cancel(operation);  // no callback runs after this
    pa_operation_unref(operation);
    return answered ? kAudioHardwareNoError : kTimedOut;
}

std::optional<ServerInfo> PulseConnection::serverInfo(OSStatus& status) {
    Answer<ServerInfo> answer{this};
    status = request([&] { return pa_context_get_server_info(context_, &Callbacks::server, &answer); },
                     [&] { return answer.done; });
    if (status != kAudioHardwareNoError) return std::nullopt;
    if (answer.failed) {
        status = kNotConnected;
        return std::nullopt;
    }
    return answer.value;
}

std::optional<std::vector<DeviceInfo>> PulseConnection::devices(OSStatus& status) {
    Answer<std::vector<DeviceInfo>> sinks{this};
    status = request([&] { return pa_context_get_sink_info_list(context_, &Callbacks::sink, &sinks); },
                     [&] { return sinks.done; });
    if (status != kAudioHardwareNoError) return std::nullopt;
    Answer<std::vector<DeviceInfo>> sources{this};
    status = request([&] { return pa_context_get_source_info_list(context_, &Callbacks::source, &sources); },
                     [&] { return sources.done; });
    if (status != kAudioHardwareNoError) return std::nullopt;
    if (sinks.failed || sources.failed) {
        status = kNotConnected;
        return std::nullopt;
    }
    std::vector<DeviceInfo> all = std::move(sinks.value);
    all.insert(all.end(), sources.value.begin(), sources.value.end());
    return all;
}

}  // namespace lumvar::audio::pulse
