// A sound server in memory under the platform layer that the Linux backends share: the test plays the
// server (devices come and go, the connection drops and returns, streams end), and the fake records what
// the layer asked of it (round trips, streams started). One thread: its lock guards nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "audio/server/server_connection.h"
#include "common/text.h"

namespace lumvar::testing {

using namespace audio::server;

class FakeServer final : public ServerConnection {
  public:
    explicit FakeServer(Observer& observer) : observer_(observer) {}

    // What the server holds; connect() loads it, as a new connection does.
    std::vector<DeviceInfo> devices;
    Defaults defaults;
    void connect() {
        model_.clear();
        for (const DeviceInfo& device : devices) model_.put(device);
        model_.setDefaults(defaults);
        connected_ = true;
        observer_.connectionChanged(true);
    }
    // The server goes away: every started stream ends with it.
    void drop() {
        connected_ = false;
        observer_.connectionChanged(false);
        endStreams();
    }
    // A change the server has announced; it reaches the model at the next round trip.
    void announce(std::function<ModelChanges(ServerModel&)> change) {
        announced_.push_back(std::move(change));
    }
    void endStreams() {
        for (Stream* stream : live_)
            if (stream->died) std::exchange(stream->died, nullptr)();
    }

    // What the layer did: round trips, and each stream started as "<source> <channels> <rate>".
    int syncs = 0;
    std::vector<std::string> started;
    std::size_t liveStreams() const { return live_.size(); }

    bool recordsSinks = false;  // a stream may record any sink's output (PipeWire), monitor or not
    audio::OSStatus usable() const override { return connected_ ? 0 : kGone; }
    bool capturesSinks() const override { return recordsSinks; }
    audio::OSStatus sync() override {
        ++syncs;
        if (!connected_) return kGone;
        for (auto& change : std::exchange(announced_, {})) observer_.modelChanged(change(model_));
        return 0;
    }
    const ServerModel& model() const override { return model_; }
    std::unique_ptr<CaptureStream> makeStream(const audio::AudioDeviceIOBlock&,
                                              std::function<void()> died) override {
        return std::make_unique<Stream>(*this, std::move(died));
    }
    void lock() override {}
    void unlock() override {}

    static constexpr audio::OSStatus kGone = static_cast<audio::OSStatus>(audio::fourCC("gone"));

  private:
    struct Stream final : CaptureStream {
        FakeServer& server;
        std::function<void()> died;
        Stream(FakeServer& s, std::function<void()> d) : server(s), died(std::move(d)) {}
        ~Stream() override { std::erase(server.live_, this); }
        audio::OSStatus start(const DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) override {
            if (!server.connected_) return kGone;
            server.started.push_back(source.name + " " + std::to_string(channels) + " " +
                                     std::to_string(rate));
            server.live_.push_back(this);
            return 0;
        }
    };

    Observer& observer_;
    ServerModel model_{platformText()};
    std::vector<std::function<ModelChanges(ServerModel&)>> announced_;
    std::vector<Stream*> live_;
    bool connected_ = false;
};

}  // namespace lumvar::testing
