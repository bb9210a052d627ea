#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/main_queue.h"
#include "audio/audio_properties.h"
#include "audio/platform_audio.h"

namespace lumvar::app {

// What changed on the machine, gathered over one burst of notifications.
struct DeviceEvents {
    bool deviceList = false;     // a device appeared or went away
    bool defaultOutput = false;  // the default output device moved
    bool defaultInput = false;   // the default input device moved
    bool alive = false;          // a device in use may have died
    bool server = false;         // the sound server went away or came back
    bool rate = false;           // the nominal rate of the device whose rate the stream has changed
    bool latency = false;        // the latency of that device's side, or of its stream
    bool restarted = false;      // the audio system's daemon started again: every id and listener is void
};

// Listens to the audio system for the changes the capture must follow: the device list, the default
// output and input devices, and whether the devices in use are alive. The listeners only note what
// happened; one main-queue work item per burst (kBurst after its first notification) hands it all to
// the handler. Lives as long as the process: a listener call under way may outlast its removal.
class DeviceWatch {
  public:
    static constexpr std::chrono::milliseconds kBurst{100};

    DeviceWatch(audio::PlatformAudio& hw, MainQueue& queue);
    ~DeviceWatch();
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Main queue, once per burst.
    void setHandler(std::function<void(DeviceEvents)> handler) { handler_ = std::move(handler); }

    // Listens to the device list, the defaults and, where there is one, the sound server. False, and
    // nothing listens, when the platform cannot tell; the watch then stays inactive and the process
    // goes on without it.
    bool start();
    bool active() const { return active_; }

    // The devices whose death matters now; their listeners follow this set.
    void watchAlive(const std::vector<audio::AudioObjectID>& devices);
    // The device whose nominal rate is the stream's now (none: kAudioObjectUnknown).
    void watchRate(audio::AudioObjectID device);
    // The device whose latency places the stream's frames, on the side `scope` names, with its first
    // stream of that side (none: kAudioObjectUnknown).
    void watchLatency(audio::AudioObjectID device, audio::FourCharCode scope);
    // After the audio system's daemon started again: every listener is gone with it; listens afresh.
    void restart();

    // Removes every listener.
    void stop();

    // How many device-list notifications arrived, for the field check's debug line.
    std::uint64_t deviceListNotifications() const { return deviceListNotifications_.load(); }

  private:
    struct Registration {
        audio::AudioObjectID object;
        audio::AudioObjectPropertyAddress address;
        audio::PropertyListenerID id;
    };
    enum Bit : std::uint32_t {
        kDeviceList = 1,
        kDefaultOutput = 2,
        kDefaultInput = 4,
        kAlive = 8,
        kServer = 16,
        kRate = 32,
        kLatency = 64,
        kRestarted = 128
    };

    bool listen(audio::AudioObjectID object, audio::FourCharCode selector, Bit bit, Registration& out,
                audio::FourCharCode scope = audio::kAudioObjectPropertyScopeGlobal);
    void remove(const Registration& registration);
    void note(std::uint32_t bits);  // any thread
    void deliver();                 // main queue

    audio::PlatformAudio& hw_;
    MainQueue& queue_;
    std::function<void(DeviceEvents)> handler_;
    bool active_ = false;
    std::vector<Registration> system_;
    std::map<audio::AudioObjectID, Registration> alive_;
    std::optional<Registration> rate_;
    std::vector<Registration> latency_;  // the device's side and its first stream
    audio::AudioObjectID latencyDevice_ = audio::kAudioObjectUnknown;
    std::atomic<std::uint32_t> pending_{0};
    std::atomic<bool> scheduled_{false};
    std::atomic<std::uint64_t> deviceListNotifications_{0};
};

}  // namespace lumvar::app
