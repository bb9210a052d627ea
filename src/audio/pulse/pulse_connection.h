#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_types.h"

namespace lumvar::audio::pulse {

class RecordStream;

struct ServerInfo {
    std::string defaultSink;
    std::string defaultSource;
};

// A sink or a source as the server describes it now.
struct DeviceInfo {
    bool isSink = false;
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
    std::string monitorSource;  // sinks only
};

// One connection to the sound server on a threaded main loop, for the life of the process. Every
// request waits for its answer, for at most a fixed time: a hung server becomes a timeout status.
class PulseConnection {
public:
    static constexpr std::chrono::milliseconds kConnectTimeout{5000};
    static constexpr std::chrono::milliseconds kRequestTimeout{3000};

    PulseConnection();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // 0, or the reason no request can be made.
    OSStatus usable() const;

    std::optional<ServerInfo> serverInfo(OSStatus& status);
    // Every sink, then every source, each in the server's index order.
    std::optional<std::vector<DeviceInfo>> devices(OSStatus& status);

    // Holds the main loop's lock: no callback of the loop runs meanwhile.
    class Lock {
    public:
        explicit Lock(PulseConnection& connection) : loop_(connection.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    // Streams that record the default sink's monitor and move along when the default sink changes.
    // Both take the loop's lock held.
    void follow(RecordStream* stream) { followers_.insert(stream); }
    void unfollow(RecordStream* stream) { followers_.erase(stream); }

    // With the loop's lock held: waits until `done` holds or `timeout` passes; returns done().
    // The loop's signals (state changes) wake it, and so does a timer at the deadline.
    bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    pa_context* context() { return context_; }
    pa_mainloop_api* api() { return pa_threaded_mainloop_get_api(loop_); }
    pa_threaded_mainloop* loop() { return loop_; }

private:
    // Issues a request under the lock and waits, without the lock, until `done` says it finished.
    // `issue` returns the operation, or null when the context cannot take requests.
    OSStatus request(const std::function<pa_operation*()>& issue, const std::function<bool()>& done);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool connected_ = false;

    // Touched only with the loop's lock held (its callbacks run with it).
    std::set<RecordStream*> followers_;
    std::string defaultSink_;

    std::mutex answerMutex_;
    std::condition_variable answer_;
    std::uint64_t answers_ = 0;

    friend struct Callbacks;
};

}  // namespace lumvar::audio::pulse
