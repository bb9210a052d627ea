#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/audio_types.h"
#include "audio/server/server_model.h"

namespace lumvar::audio::server {

// A capture of one of the server's sources whose IO block runs on the backend's own thread.
// Destroying it disconnects it: once the destructor has returned, the block is never called again.
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;

    // Connects to `source` in this format and waits until it captures. Takes the connection's lock itself.
    virtual OSStatus start(const DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) = 0;
};

// A connection to a sound server for the life of the process, with the server's model kept current from
// its change events. When the connection drops, requests fail at once and the connection is made again,
// with back-off, until the server is back.
//
// Threads: the backend's own thread runs every event with the connection's lock held; the caller's
// thread takes the lock (Lock) for anything it reads of the model.
class ServerConnection {
  public:
    // Told on the backend's thread with the lock held: keep it short and do not wait for anything.
    // Changes made while a new connection's model loads may be told too: until connectionChanged(true),
    // the observer takes them for no change.
    class Observer {
      public:
        virtual ~Observer() = default;
        virtual void modelChanged(const ModelChanges& changes) = 0;
        virtual void connectionChanged(bool connected) = 0;
    };

    // The same patience on every server: a first connection or a reconnection attempt, and one request.
    static constexpr std::chrono::milliseconds kConnectTimeout{5000};
    static constexpr std::chrono::milliseconds kRequestTimeout{3000};

    virtual ~ServerConnection() = default;

    // 0, or the reason no request can be made; any thread, without waiting.
    virtual OSStatus usable() const = 0;

    // One round trip: once it returns 0, every change the server announced before it is in the model.
    // Takes the lock itself.
    virtual OSStatus sync() = 0;

    // With the lock held.
    virtual const ServerModel& model() const = 0;

    // Whether a stream may record what any sink plays, monitor source or not (PipeWire's capture of a
    // sink's output); otherwise only a sink whose monitor source is one can be recorded.
    virtual bool capturesSinks() const { return false; }

    // A stream not yet started. `died` runs on the backend's thread with the lock held, at most once,
    // when the source or the server goes away under a started stream, never after its destruction.
    virtual std::unique_ptr<CaptureStream> makeStream(const AudioDeviceIOBlock& block,
                                                      std::function<void()> died) = 0;

    // The lock no event runs under meanwhile (recursive).
    virtual void lock() = 0;
    virtual void unlock() = 0;

    class Lock {
      public:
        explicit Lock(ServerConnection& connection) : connection_(connection) { connection_.lock(); }
        ~Lock() { connection_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        ServerConnection& connection_;
    };
};

// The wait before the next attempt to reach a server that went away: doubling from 100 ms to 500 ms,
// and back to 100 ms once an attempt has succeeded.
class Backoff {
  public:
    static constexpr std::chrono::milliseconds kFirst{100};
    static constexpr std::chrono::milliseconds kLast{500};

    // The wait before this attempt; the next one waits longer.
    std::chrono::milliseconds next() {
        const auto wait = wait_;
        wait_ = std::min(wait_ * 2, kLast);
        return wait;
    }
    void reset() { wait_ = kFirst; }

  private:
    std::chrono::milliseconds wait_ = kFirst;
};

}  // namespace lumvar::audio::server
