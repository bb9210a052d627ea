#include "audio/pulse/pulse_audio.h"

#include <cstring>

#include "audio/platform_backend.h"
#include "audio/property_fill.h"
#include "audio/pulse/pulse_statuses.h"
#include "common/uuid.h"

namespace lumvar::audio {
namespace pulse {
namespace {

// A stream configuration of `buffers` interleaved buffers of `channels` each (none when 0).
OSStatus fillStreams(std::uint32_t channels, std::uint32_t& ioSize, void* outData) {
    const std::uint32_t count = channels > 0 ? 1 : 0;
    const std::size_t needed = bufferListSize(count);
    if (ioSize < needed || outData == nullptr) return kBadSize;
    std::memset(outData, 0, needed);
    auto* list = static_cast<AudioBufferList*>(outData);
    list->mNumberBuffers = count;
    if (count > 0) list->mBuffers[0].mNumberChannels = channels;
    ioSize = static_cast<std::uint32_t>(needed);
    return kAudioHardwareNoError;
}

std::uintptr_t procKey(AudioDeviceIOProcID id) { return reinterpret_cast<std::uintptr_t>(id); }

}  // namespace

PulseAudio::PulseAudio() = default;

PulseAudio::~PulseAudio() {
    std::lock_guard guard(mutex_);
    for (auto& [key, proc] : procs_)
        if (proc.stream) proc.stream->stop();
}

AudioObjectID PulseAudio::idFor(const DeviceKey& key) {
    const auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    const AudioObjectID id = nextID_++;
    ids_[key] = id;
    keys_[id] = key;
    return id;
}

OSStatus PulseAudio::deviceIDs(std::vector<AudioObjectID>& ids) {
    OSStatus status = connection_.usable();
    if (status != kAudioHardwareNoError) return status;
    const auto devices = connection_.devices(status);
    if (!devices) return status;
    ids.clear();
    for (const DeviceInfo& device : *devices) ids.push_back(idFor({device.isSink, device.name}));
    for (const auto& [id, aggregate] : aggregates_) ids.push_back(id);
    return kAudioHardwareNoError;
}

std::optional<DeviceInfo> PulseAudio::currentDevice(AudioObjectID id, OSStatus& status) {
    const auto key = keys_.find(id);
    if (key == keys_.end()) {
        status = kNoSuchDevice;
        return std::nullopt;
    }
    const auto devices = connection_.devices(status);
    if (!devices) return std::nullopt;
    for (const DeviceInfo& device : *devices)
        if (device.isSink == key->second.isSink && device.name == key->second.name) return device;
    status = kNoSuchDevice;  // it went away
    return std::nullopt;
}

OSStatus PulseAudio::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t& outSize) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDevices) {
        std::vector<AudioObjectID> ids;
        const OSStatus status = deviceIDs(ids);
        if (status == kAudioHardwareNoError) outSize = static_cast<std::uint32_t>(ids.size() * sizeof(AudioObjectID));
        return status;
    }
    if (address.mSelector != kAudioDevicePropertyStreamConfiguration) return kUnknownProperty;
    std::uint32_t channels = 0;
    if (aggregates_.contains(object)) {
        channels = address.mScope == kAudioObjectPropertyScopeInput ? 2 : 0;
    } else {
        OSStatus status = kAudioHardwareNoError;
        const auto device = currentDevice(object, status);
        if (!device) return status;
        const bool wanted = (address.mScope == kAudioObjectPropertyScopeOutput) == device->isSink;
        channels = wanted ? device->channels : 0;
    }
    outSize = static_cast<std::uint32_t>(bufferListSize(channels > 0 ? 1 : 0));
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t& ioSize, void* outData) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (object == kAudioObjectSystemObject) return readSystem(address.mSelector, ioSize, outData);
    if (const auto tap = taps_.find(object); tap != taps_.end())
        return readTap(tap->second, address.mSelector, ioSize, outData);
    if (const auto aggregate = aggregates_.find(object); aggregate != aggregates_.end())
        return readAggregate(aggregate->second, address, ioSize, outData);
    return readDevice(object, address, ioSize, outData);
}

OSStatus PulseAudio::readSystem(FourCharCode selector, std::uint32_t& ioSize, void* outData) {
    OSStatus status = kAudioHardwareNoError;
    if (selector == kAudioHardwarePropertyDevices) {
        std::vector<AudioObjectID> ids;
        status = deviceIDs(ids);
        if (status != kAudioHardwareNoError) return status;
        const std::size_t count = std::min<std::size_t>(ids.size(), ioSize / sizeof(AudioObjectID));
        if (count > 0) std::memcpy(outData, ids.data(), count * sizeof(AudioObjectID));
        ioSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
        return kAudioHardwareNoError;
    }
    const bool output = selector == kAudioHardwarePropertyDefaultOutputDevice;
    if (!output && selector != kAudioHardwarePropertyDefaultInputDevice) return kUnknownProperty;
    const auto server = connection_.serverInfo(status);
    if (!server) return status;
    const std::string& name = output ? server->defaultSink : server->defaultSource;
    const AudioObjectID id = name.empty() ? kAudioObjectUnknown : idFor({output, name});
    return fillProperty(id, ioSize, outData);
}

OSStatus PulseAudio::readDevice(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                std::uint32_t& ioSize, void* outData) {
    OSStatus status = kAudioHardwareNoError;
    const auto device = currentDevice(object, status);
    if (!device) return status;
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID: return fillString(device->name, ioSize, outData);
        case kAudioObjectPropertyName: return fillString(device->description, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate: return fillProperty(static_cast<double>(device->rate), ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration: {
            const bool wanted = (address.mScope == kAudioObjectPropertyScopeOutput) == device->isSink;
            return fillStreams(wanted ? device->channels : 0, ioSize, outData);
        }
        default: return kUnknownProperty;
    }
}

OSStatus PulseAudio::readAggregate(const Aggregate& aggregate, const AudioObjectPropertyAddress& address,
                                   std::uint32_t& ioSize, void* outData) {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID: return fillString(aggregate.uid, ioSize, outData);
        case kAudioObjectPropertyName: return fillString(aggregate.name, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate: return fillProperty(aggregate.rate, ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration:
            return fillStreams(address.mScope == kAudioObjectPropertyScopeInput ? 2 : 0, ioSize, outData);
        default: return kUnknownProperty;
    }
}

OSStatus PulseAudio::readTap(const Tap& tap, FourCharCode selector, std::uint32_t& ioSize, void* outData) {
    if (selector == kAudioTapPropertyUID) return fillString(tap.uid, ioSize, outData);
    if (selector != kAudioTapPropertyFormat) return kUnknownProperty;
    return fillProperty(stereoFloatFormat(tap.rate), ioSize, outData);
}

OSStatus PulseAudio::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t size, const void* data) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (address.mSelector != kAudioDevicePropertyNominalSampleRate) return kUnknownProperty;
    const auto aggregate = aggregates_.find(object);
    if (aggregate == aggregates_.end()) return keys_.contains(object) ? kIllegal : kNoSuchDevice;
    if (size != sizeof(double) || data == nullptr) return kBadSize;
    double rate = 0.0;
    std::memcpy(&rate, data, sizeof rate);
    if (!(rate >= 1.0 && rate <= PA_RATE_MAX)) return kIllegal;
    aggregate->second.rate = rate;  // the record stream is made at this rate when the device starts
    return kAudioHardwareNoError;
}

std::string PulseAudio::takeString(StringRef string) { return takePlatformString(string); }

OSStatus PulseAudio::createProcessTap(const TapDescription& description, AudioObjectID& outTapID) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (!description.stereoGlobal || !description.excludedProcesses.empty()) return kIllegal;
    OSStatus status = kAudioHardwareNoError;
    const auto server = connection_.serverInfo(status);
    if (!server) return status;
    const auto devices = connection_.devices(status);
    if (!devices) return status;
    for (const DeviceInfo& device : *devices) {
        if (!device.isSink || device.name != server->defaultSink || device.monitorSource.empty()) continue;
        const AudioObjectID id = nextID_++;
        taps_[id] = Tap{description.uuid.empty() ? RandomUuids().next() : description.uuid, device.monitorSource,
                        device.rate};
        outTapID = id;
        return kAudioHardwareNoError;
    }
    return kNoSuchDevice;  // no default sink to tap
}

OSStatus PulseAudio::destroyProcessTap(AudioObjectID tapID) {
    std::lock_guard guard(mutex_);
    return taps_.erase(tapID) == 1 ? kAudioHardwareNoError : kNoSuchDevice;
}

OSStatus PulseAudio::createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDeviceID) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (description.taps.size() != 1) return kIllegal;
    AudioObjectID tapID = kAudioObjectUnknown;
    for (const auto& [id, tap] : taps_)
        if (tap.uid == description.taps[0].uid) tapID = id;
    if (tapID == kAudioObjectUnknown) return kNoSuchDevice;

    OSStatus status = kAudioHardwareNoError;
    const auto devices = connection_.devices(status);
    if (!devices) return status;
    bool masterKnown = false;
    for (const DeviceInfo& device : *devices) masterKnown |= device.isSink && device.name == description.master;
    if (!masterKnown) return kNoSuchDevice;

    const AudioObjectID id = nextID_++;
    aggregates_[id] = Aggregate{description.uid, description.name, tapID, static_cast<double>(taps_[tapID].rate)};
    outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::destroyAggregateDevice(AudioObjectID deviceID) {
    std::lock_guard guard(mutex_);
    if (aggregates_.erase(deviceID) != 1) return kNoSuchDevice;
    for (auto& [key, proc] : procs_)  // a device that is gone delivers nothing more
        if (proc.device == deviceID && proc.stream) proc.stream.reset();
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                             AudioDeviceIOBlock block) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (!aggregates_.contains(device) && !keys_.contains(device)) return kBadDevice;
    const std::uintptr_t key = nextProc_++;
    procs_[key] = Proc{device, std::move(block), nullptr};
    outProcID = reinterpret_cast<AudioDeviceIOProcID>(key);
    return kAudioHardwareNoError;
}

PulseAudio::Proc* PulseAudio::findProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    const auto found = procs_.find(procKey(procID));
    if (found == procs_.end() || found->second.device != device) return nullptr;
    return &found->second;
}

OSStatus PulseAudio::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard guard(mutex_);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    Proc* proc = findProc(device, procID);
    if (proc == nullptr) return kBadDevice;
    if (proc->stream) return kAudioHardwareNoError;

    std::string source;
    std::uint32_t channels = 0, rate = 0;
    bool followDefaultSink = false;
    if (const auto aggregate = aggregates_.find(device); aggregate != aggregates_.end()) {
        const Tap& tap = taps_.at(aggregate->second.tapID);
        source = tap.monitorSource;
        channels = 2;
        rate = static_cast<std::uint32_t>(aggregate->second.rate + 0.5);
        followDefaultSink = true;  // "what the machine plays" moves with the default sink
    } else {
        OSStatus status = kAudioHardwareNoError;
        const auto info = currentDevice(device, status);
        if (!info) return status;
        if (info->isSink) return kAudioHardwareNoError;  // no input: the callback is never called
        source = info->name;
        channels = info->channels;
        rate = info->rate;
    }
    auto stream = std::make_unique<RecordStream>(connection_, proc->block);
    if (const OSStatus status = stream->start(source, channels, rate, followDefaultSink); status != kAudioHardwareNoError) return status;
    proc->stream = std::move(stream);
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard guard(mutex_);
    Proc* proc = findProc(device, procID);
    if (proc == nullptr) return kBadDevice;
    proc->stream.reset();  // disconnects before it returns
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard guard(mutex_);
    if (findProc(device, procID) == nullptr) return kBadDevice;
    procs_.erase(procKey(procID));
    return kAudioHardwareNoError;
}

// Not yet: the process then behaves as without listeners.
OSStatus PulseAudio::addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&,
                                         AudioObjectPropertyListenerBlock, PropertyListenerID&) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus PulseAudio::removePropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, PropertyListenerID) {
    return kAudioHardwareUnsupportedOperationError;
}

}  // namespace pulse

std::unique_ptr<PlatformAudio> makePlatformAudio() { return std::make_unique<pulse::PulseAudio>(); }

}  // namespace lumvar::audio
