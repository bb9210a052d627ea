#include "app/device_watch.h"

#include <algorithm>

#include "audio/audio_properties.h"

namespace lumvar::app {

using namespace lumvar::audio;

DeviceWatch::DeviceWatch(PlatformAudio& hw, MainQueue& queue) : hw_(hw), queue_(queue) {}

DeviceWatch::~DeviceWatch() {
    stop();
}

bool DeviceWatch::listen(AudioObjectID object, FourCharCode selector, Bit bit, Registration& out,
                         FourCharCode scope) {
    out = {object, {selector, scope, kAudioObjectPropertyElementMain}, nullptr};
    const auto block = [this, bit](std::uint32_t, const AudioObjectPropertyAddress*) { note(bit); };
    return hw_.addPropertyListener(object, out.address, block, out.id) == kAudioHardwareNoError;
}

void DeviceWatch::remove(const Registration& registration) {
    hw_.removePropertyListener(registration.object, registration.address, registration.id);
}

bool DeviceWatch::start() {
    const std::pair<FourCharCode, Bit> properties[] = {
        {kAudioHardwarePropertyDevices, kDeviceList},
        {kAudioHardwarePropertyDefaultOutputDevice, kDefaultOutput},
        {kAudioHardwarePropertyDefaultInputDevice, kDefaultInput}};
    for (const auto& [selector, bit] : properties) {
        Registration registration{};
        if (!listen(kAudioObjectSystemObject, selector, bit, registration)) {
            stop();
            return false;
        }
        system_.push_back(registration);
    }
    // Only a platform with a sound server has the one, only one with a daemon that restarts the other.
    if (Registration server{}; listen(kAudioObjectSystemObject, kLumvarServerReachable, kServer, server))
        system_.push_back(server);
    if (Registration restarted{};
        listen(kAudioObjectSystemObject, kAudioHardwarePropertyServiceRestarted, kRestarted, restarted))
        system_.push_back(restarted);
    active_ = true;
    return true;
}

void DeviceWatch::watchAlive(const std::vector<AudioObjectID>& devices) {
    if (!active_) return;
    for (auto it = alive_.begin(); it != alive_.end();) {
        if (std::find(devices.begin(), devices.end(), it->first) != devices.end()) {
            ++it;
            continue;
        }
        remove(it->second);
        it = alive_.erase(it);
    }
    for (const AudioObjectID device : devices) {
        if (device == kAudioObjectUnknown || alive_.contains(device)) continue;
        Registration registration{};
        // A device that cannot be listened to is gone already; the caller finds that out by reading.
        if (listen(device, kAudioDevicePropertyDeviceIsAlive, kAlive, registration))
            alive_[device] = registration;
    }
}

void DeviceWatch::watchRate(AudioObjectID device) {
    if (!active_ || (rate_ && rate_->object == device)) return;
    if (rate_) remove(*rate_);
    rate_.reset();
    // A platform whose devices never change rate under a stream need not tell.
    if (Registration registration{};
        device != kAudioObjectUnknown &&
        listen(device, kAudioDevicePropertyNominalSampleRate, kRate, registration))
        rate_ = registration;
}

void DeviceWatch::watchLatency(AudioObjectID device, FourCharCode scope) {
    if (!active_ || device == latencyDevice_) return;
    for (const Registration& registration : latency_) remove(registration);
    latency_.clear();
    latencyDevice_ = device;
    if (device == kAudioObjectUnknown) return;
    // A platform whose latencies never change under a stream need not tell.
    if (Registration side{}; listen(device, kAudioDevicePropertyLatency, kLatency, side, scope))
        latency_.push_back(side);
    AudioObjectID stream = kAudioObjectUnknown;
    std::uint32_t size = sizeof stream;
    if (Registration first{};
        hw_.getPropertyData(device, {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain},
                            size, &stream) == kAudioHardwareNoError &&
        stream != kAudioObjectUnknown && listen(stream, kAudioStreamPropertyLatency, kLatency, first))
        latency_.push_back(first);
}

void DeviceWatch::restart() {
    stop();  // what is gone answers its removal with an error, which changes nothing
    start();
}

void DeviceWatch::stop() {
    for (const auto& [device, registration] : alive_) remove(registration);
    alive_.clear();
    if (rate_) remove(*rate_);
    rate_.reset();
    for (const Registration& registration : latency_) remove(registration);
    latency_.clear();
    latencyDevice_ = kAudioObjectUnknown;
    for (const Registration& registration : system_) remove(registration);
    system_.clear();
    active_ = false;
}

void DeviceWatch::note(std::uint32_t bits) {
    if ((bits & kDeviceList) != 0) deviceListNotifications_.fetch_add(1, std::memory_order_relaxed);
    pending_.fetch_or(bits, std::memory_order_acq_rel);
    if (!scheduled_.exchange(true, std::memory_order_acq_rel))
        queue_.postAfter(kBurst, [this] { deliver(); });
}

void DeviceWatch::deliver() {
    // Re-armed before the bits are taken: a notification from now on schedules its own delivery.
    scheduled_.store(false, std::memory_order_release);
    const std::uint32_t bits = pending_.exchange(0, std::memory_order_acq_rel);
    if (bits == 0 || !handler_) return;
    handler_({(bits & kDeviceList) != 0, (bits & kDefaultOutput) != 0, (bits & kDefaultInput) != 0,
              (bits & kAlive) != 0, (bits & kServer) != 0, (bits & kRate) != 0, (bits & kLatency) != 0,
              (bits & kRestarted) != 0});
}

}  // namespace lumvar::app
