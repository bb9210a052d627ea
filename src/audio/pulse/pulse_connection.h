#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "audio/audio_types.h"
#include "audio/server/server_connection.h"

namespace lumvar::audio::pulse {

using server::Defaults;
using server::DeviceInfo;
using server::ModelChanges;
using server::ServerModel;

// The connection to the sound server on a threaded main loop, for the life of the process, with the
// server's model kept current from its change events. When the connection drops, requests fail at
// once and the connection is made again, with back-off, until the server is back. An attempt that
// gets no answer (a socket that accepts and never speaks) is given up after kConnectTimeout, as the
// first connection is, and the back-off goes on.
//
// Threads: the loop's own thread runs every libpulse callback with the loop's lock held; the caller's
// thread takes the lock (ServerConnection::Lock) for anything it touches of the context, its streams or the
// model.
class PulseConnection final : public server::ServerConnection {
  public:
    // Connects and loads the model, waiting at most kConnectTimeout. A server that cannot be reached
    // now is not tried again: the caller finds the connection unusable.
    PulseConnection(const Text& text, Observer& observer);
    ~PulseConnection() override;
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    OSStatus usable() const override;
    OSStatus sync() override;
    const ServerModel& model() const override { return model_; }
    std::unique_ptr<server::CaptureStream> makeStream(const AudioDeviceIOBlock& block,
                                                      std::function<void()> died) override;
    void lock() override { pa_threaded_mainloop_lock(loop_); }
    void unlock() override { pa_threaded_mainloop_unlock(loop_); }

    // With the lock held: the context streams are made on.
    pa_context* context() { return context_; }
    pa_mainloop_api* api() { return pa_threaded_mainloop_get_api(loop_); }
    pa_threaded_mainloop* loop() { return loop_; }

    // With the lock held: waits until `done` holds or `timeout` passes; returns done(). The loop's
    // signals (state changes, answers) wake it, and so does a timer at the deadline.
    bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  private:
    friend struct ConnectionCallbacks;

    void connect();                       // lock held
    void contextGone();                   // lock held
    void scheduleRetry();                 // lock held
    void limitAttempt();                  // lock held: a reconnection is given kConnectTimeout
    void fetch(pa_operation* operation);  // lock held: an answer the model waits for
    void fetched();                       // lock held

    Observer& observer_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    pa_time_event* attemptLimit_ = nullptr;  // armed while a reconnection waits for its answers
    server::Backoff backoff_;
    ServerModel model_;
    int loading_ = 0;  // answers still due before a new connection's model is complete
    int pendingFetches_ = 0;
    bool everConnected_ = false;
    bool closing_ = false;
    std::atomic<bool> connected_{false};
};

// The connection to the PulseAudio server the environment names (or the default one); never nullptr: a
// server that cannot be reached shows as a connection that is not usable.
std::unique_ptr<server::ServerConnection> connectPulse(const Text& text,
                                                       server::ServerConnection::Observer& observer);

}  // namespace lumvar::audio::pulse
