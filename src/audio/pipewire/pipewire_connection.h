#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "audio/pipewire/graph_model.h"
#include "audio/server/server_connection.h"

namespace lumvar::audio::pipewire {

// The native connection to a PipeWire daemon on a pw_thread_loop, for the life of the process, with the
// graph's model kept current from the registry and the "default" and "settings" metadata. When the
// daemon goes away, requests fail at once and the connection is made again with back-off until it is
// back; an attempt without an answer is given up after kConnectTimeout and the back-off goes on.
//
// Threads: the loop's thread runs every event with the loop's lock held; the caller's thread takes the
// lock for what it touches of the core, its streams or the model. The streams' process callbacks run on
// PipeWire's data thread, never under the lock.
class PipeWireConnection final : public server::ServerConnection {
  public:
    // Connects and loads the model, waiting at most kConnectTimeout.
    PipeWireConnection(const Text& text, Observer& observer);
    ~PipeWireConnection() override;
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Whether the first connection succeeded; if not, nothing is tried again.
    bool everConnected() const { return everConnected_; }

    OSStatus usable() const override;
    OSStatus sync() override;
    const server::ServerModel& model() const override { return graph_.model(); }
    bool capturesSinks() const override { return true; }
    std::unique_ptr<server::CaptureStream> makeStream(const AudioDeviceIOBlock& block,
                                                      std::function<void()> died) override;
    void lock() override { pw_thread_loop_lock(loop_); }
    void unlock() override { pw_thread_loop_unlock(loop_); }

    // With the lock held: the core streams are made on (null while disconnected), and a wait for `done`
    // that the loop's signals wake, at most `timeout` long; returns done().
    pw_core* core() { return core_; }
    void signal() { pw_thread_loop_signal(loop_, false); }
    bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  private:
    friend struct GraphEvents;
    struct Bound;

    void connect();     // lock held
    void disconnect();  // lock held: drops the core and everything bound on it
    void lost();        // lock held: the daemon went away, or an attempt got no answer
    void arm(spa_source* timer, std::chrono::milliseconds after);
    void bind(std::uint32_t id, const char* type, std::uint32_t version, int kind);

    Observer& observer_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    std::map<std::uint32_t, std::unique_ptr<Bound>> bound_;  // metadata and nodes, by global id
    spa_source* retry_ = nullptr;
    spa_source* attemptLimit_ = nullptr;
    server::Backoff backoff_;
    GraphModel graph_;
    int loadStep_ = 0;  // two round trips load a new connection: the globals, then what was bound
    int loadSeq_ = -1;
    std::set<int> done_;   // answered round trips that a waiter still looks for
    bool broken_ = false;  // the current attempt failed; the retry drops it
    bool everConnected_ = false;
    bool closing_ = false;
    std::atomic<bool> connected_{false};
};

// The native connection where a PipeWire daemon answers (PIPEWIRE_REMOTE, or the runtime directory's
// socket, as every PipeWire client finds it); nullptr where none does.
std::unique_ptr<server::ServerConnection> connectPipeWire(const Text& text,
                                                          server::ServerConnection::Observer& observer);

}  // namespace lumvar::audio::pipewire
