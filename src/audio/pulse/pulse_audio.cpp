#include "audio/pulse/pulse_audio.h"

#include <cstring>

#include "audio/platform_backend.h"
#include "audio/property_fill.h"
#include "audio/pulse/pulse_statuses.h"
#include "common/uuid.h"

namespace lumvar::audio {
namespace pulse {
namespace {

// A stream configuration of one interleaved buffer of `channels` (none when 0).
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

// The channels a device offers in the scope asked for: a sink outputs, a source inputs.
std::uint32_t channelsIn(FourCharCode scope, bool isSink, std::uint32_t channels) {
    return (scope == kAudioObjectPropertyScopeOutput) == isSink ? channels : 0;
}

std::uintptr_t procKey(AudioDeviceIOProcID id) { return reinterpret_cast<std::uintptr_t>(id); }

}  // namespace

PulseAudio::PulseAudio(const Text& text) : connection_(text, *this) {}

PulseAudio::~PulseAudio() {
    {
        std::lock_guard guard(eventsMutex_);
        listeners_.clear();
    }
    procs_.clear();  // every stream stops while the connection still runs
}

AudioObjectID PulseAudio::idFor(const DeviceKey& key) {
    const auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    const AudioObjectID id = nextID_++;
    ids_[key] = id;
    keys_[id] = key;
    return id;
}

const DeviceInfo* PulseAudio::deviceFor(AudioObjectID id) const {
    const auto key = keys_.find(id);
    return key == keys_.end() ? nullptr : connection_.model().find(key->second.isSink, key->second.name);
}

bool PulseAudio::alive(AudioObjectID object) const {
    if (connection_.usable() != kAudioHardwareNoError) return false;
    {
        std::lock_guard guard(eventsMutex_);
        if (ended_.contains(object)) return false;
    }
    if (const auto aggregate = aggregates_.find(object); aggregate != aggregates_.end())
        return connection_.model().find(true, taps_.at(aggregate->second.tapID).sink) != nullptr;
    return deviceFor(object) != nullptr;
}

std::vector<AudioObjectID> PulseAudio::deviceIDs() {
    std::vector<AudioObjectID> ids;
    for (const DeviceInfo* device : connection_.model().devices()) ids.push_back(idFor({device->isSink, device->name}));
    for (const auto& [id, aggregate] : aggregates_) ids.push_back(id);
    return ids;
}

OSStatus PulseAudio::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t& outSize) {
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDevices) {
        if (const OSStatus status = connection_.sync(); status != kAudioHardwareNoError) return status;
        PulseConnection::Lock lock(connection_);
        outSize = static_cast<std::uint32_t>(deviceIDs().size() * sizeof(AudioObjectID));
        return kAudioHardwareNoError;
    }
    if (address.mSelector != kAudioDevicePropertyStreamConfiguration) return kUnknownProperty;
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    PulseConnection::Lock lock(connection_);
    std::uint32_t channels = 0;
    if (aggregates_.contains(object)) {
        channels = address.mScope == kAudioObjectPropertyScopeInput ? 2 : 0;
    } else if (const DeviceInfo* device = deviceFor(object)) {
        channels = channelsIn(address.mScope, device->isSink, device->channels);
    } else {
        return kNoSuchDevice;
    }
    outSize = static_cast<std::uint32_t>(bufferListSize(channels > 0 ? 1 : 0));
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t& ioSize, void* outData) {
    if (object == kAudioObjectSystemObject) return readSystem(address.mSelector, ioSize, outData);
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    PulseConnection::Lock lock(connection_);
    if (const auto tap = taps_.find(object); tap != taps_.end()) {
        if (address.mSelector == kAudioTapPropertyUID) return fillString(tap->second.uid, ioSize, outData);
        if (address.mSelector == kAudioTapPropertyFormat)
            return fillProperty(stereoFloatFormat(tap->second.rate), ioSize, outData);
        return kUnknownProperty;
    }
    if (const auto aggregate = aggregates_.find(object); aggregate != aggregates_.end())
        return readAggregate(object, aggregate->second, address, ioSize, outData);
    const DeviceInfo* device = deviceFor(object);
    if (device == nullptr) return kNoSuchDevice;
    return readDevice(*device, address, ioSize, outData);
}

OSStatus PulseAudio::readSystem(FourCharCode selector, std::uint32_t& ioSize, void* outData) {
    if (selector == kLumvarServerReachable)
        return fillProperty(static_cast<std::uint32_t>(connection_.usable() == kAudioHardwareNoError), ioSize, outData);
    // The server's monitor of a sink carries what plays on all its channels at their level already.
    if (selector == kLumvarTapKeepsLevel) return fillProperty(std::uint32_t{1}, ioSize, outData);
    const bool output = selector == kAudioHardwarePropertyDefaultOutputDevice;
    if (selector != kAudioHardwarePropertyDevices && !output && selector != kAudioHardwarePropertyDefaultInputDevice)
        return kUnknownProperty;
    if (const OSStatus status = connection_.sync(); status != kAudioHardwareNoError) return status;
    PulseConnection::Lock lock(connection_);
    if (selector == kAudioHardwarePropertyDevices) {
        const auto ids = deviceIDs();
        const std::size_t count = std::min<std::size_t>(ids.size(), ioSize / sizeof(AudioObjectID));
        if (count > 0) std::memcpy(outData, ids.data(), count * sizeof(AudioObjectID));
        ioSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
        return kAudioHardwareNoError;
    }
    const Defaults& defaults = connection_.model().defaults();
    const std::string& name = output ? defaults.sink : defaults.source;
    const bool known = !name.empty() && connection_.model().find(output, name) != nullptr;
    return fillProperty(known ? idFor({output, name}) : kAudioObjectUnknown, ioSize, outData);
}

OSStatus PulseAudio::readDevice(const DeviceInfo& device, const AudioObjectPropertyAddress& address,
                                std::uint32_t& ioSize, void* outData) {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID: return fillString(device.name, ioSize, outData);
        case kAudioObjectPropertyName: return fillString(device.description, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate: return fillProperty(static_cast<double>(device.rate), ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration:
            return fillStreams(channelsIn(address.mScope, device.isSink, device.channels), ioSize, outData);
        case kAudioDevicePropertyDeviceIsAlive: {
            const AudioObjectID id = ids_.at({device.isSink, device.name});
            return fillProperty(static_cast<std::uint32_t>(alive(id)), ioSize, outData);
        }
        default: return kUnknownProperty;
    }
}

OSStatus PulseAudio::readAggregate(AudioObjectID id, const Aggregate& aggregate,
                                   const AudioObjectPropertyAddress& address, std::uint32_t& ioSize, void* outData) {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID: return fillString(aggregate.uid, ioSize, outData);
        case kAudioObjectPropertyName: return fillString(aggregate.name, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate: return fillProperty(aggregate.rate, ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration:
            return fillStreams(address.mScope == kAudioObjectPropertyScopeInput ? 2 : 0, ioSize, outData);
        case kAudioDevicePropertyDeviceIsAlive: return fillProperty(static_cast<std::uint32_t>(alive(id)), ioSize, outData);
        default: return kUnknownProperty;
    }
}

OSStatus PulseAudio::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t size, const void* data) {
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
    if (!description.stereoGlobal || !description.excludedProcesses.empty()) return kIllegal;
    if (const OSStatus status = connection_.sync(); status != kAudioHardwareNoError) return status;
    PulseConnection::Lock lock(connection_);
    const DeviceInfo* sink = connection_.model().find(true, connection_.model().defaults().sink);
    if (sink == nullptr || sink->monitorSource.empty()) return kNoSuchDevice;  // no default sink to tap
    const AudioObjectID id = nextID_++;
    taps_[id] = Tap{description.uuid.empty() ? RandomUuids().next() : description.uuid, sink->name,
                    sink->monitorSource, sink->rate};
    outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::destroyProcessTap(AudioObjectID tapID) {
    return taps_.erase(tapID) == 1 ? kAudioHardwareNoError : kNoSuchDevice;
}

OSStatus PulseAudio::createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDeviceID) {
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    if (description.taps.size() != 1) return kIllegal;
    AudioObjectID tapID = kAudioObjectUnknown;
    for (const auto& [id, tap] : taps_)
        if (tap.uid == description.taps[0].uid) tapID = id;
    if (tapID == kAudioObjectUnknown) return kNoSuchDevice;
    {
        PulseConnection::Lock lock(connection_);
        if (connection_.model().find(true, description.master) == nullptr) return kNoSuchDevice;
    }
    const AudioObjectID id = nextID_++;
    aggregates_[id] = Aggregate{description.uid, description.name, tapID, static_cast<double>(taps_[tapID].rate)};
    outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::destroyAggregateDevice(AudioObjectID deviceID) {
    if (aggregates_.erase(deviceID) != 1) return kNoSuchDevice;
    for (auto& [key, proc] : procs_)  // a device that is gone delivers nothing more
        if (proc.device == deviceID) proc.stream.reset();
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                             AudioDeviceIOBlock block) {
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
    if (const OSStatus status = connection_.usable(); status != kAudioHardwareNoError) return status;
    Proc* proc = findProc(device, procID);
    if (proc == nullptr) return kBadDevice;
    if (proc->stream) return kAudioHardwareNoError;

    std::string source;
    std::uint32_t channels = 0, rate = 0;
    if (const auto aggregate = aggregates_.find(device); aggregate != aggregates_.end()) {
        source = taps_.at(aggregate->second.tapID).monitorSource;
        channels = 2;
        rate = static_cast<std::uint32_t>(aggregate->second.rate + 0.5);
    } else {
        PulseConnection::Lock lock(connection_);
        const DeviceInfo* info = deviceFor(device);
        if (info == nullptr) return kNoSuchDevice;
        if (info->isSink) return kAudioHardwareNoError;  // no input: the callback is never called
        source = info->name;
        channels = info->channels;
        rate = info->rate;
    }
    {
        std::lock_guard guard(eventsMutex_);
        ended_.erase(device);
    }
    auto stream = std::make_unique<RecordStream>(connection_, proc->block, [this, device] {
        {
            std::lock_guard guard(eventsMutex_);
            ended_.insert(device);
        }
        fire(device, kAudioDevicePropertyDeviceIsAlive);
    });
    if (const OSStatus status = stream->start(source, channels, rate); status != kAudioHardwareNoError) return status;
    proc->stream = std::move(stream);
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    Proc* proc = findProc(device, procID);
    if (proc == nullptr) return kBadDevice;
    proc->stream.reset();  // disconnects before it returns
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    if (findProc(device, procID) == nullptr) return kBadDevice;
    procs_.erase(procKey(procID));
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerBlock block, PropertyListenerID& outID) {
    if (object != kAudioObjectSystemObject && !keys_.contains(object) && !aggregates_.contains(object))
        return kNoSuchDevice;
    std::lock_guard guard(eventsMutex_);
    const std::uintptr_t key = nextListener_++;
    listeners_[key] = Listener{object, address, std::move(block)};
    outID = reinterpret_cast<PropertyListenerID>(key);
    return kAudioHardwareNoError;
}

OSStatus PulseAudio::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            PropertyListenerID id) {
    std::lock_guard guard(eventsMutex_);
    const auto found = listeners_.find(reinterpret_cast<std::uintptr_t>(id));
    if (found == listeners_.end() || found->second.object != object ||
        found->second.address.mSelector != address.mSelector)
        return kNoSuchDevice;
    listeners_.erase(found);
    return kAudioHardwareNoError;
}

void PulseAudio::fire(AudioObjectID object, FourCharCode selector) {
    std::vector<std::pair<AudioObjectPropertyAddress, AudioObjectPropertyListenerBlock>> due;
    {
        std::lock_guard guard(eventsMutex_);
        for (const auto& [key, listener] : listeners_)
            if (listener.object == object && listener.address.mSelector == selector)
                due.emplace_back(listener.address, listener.block);
    }
    for (const auto& [address, block] : due) block(1, &address);
}

void PulseAudio::fireAlive() {
    std::set<AudioObjectID> watched;
    {
        std::lock_guard guard(eventsMutex_);
        for (const auto& [key, listener] : listeners_)
            if (listener.address.mSelector == kAudioDevicePropertyDeviceIsAlive) watched.insert(listener.object);
    }
    for (const AudioObjectID object : watched) fire(object, kAudioDevicePropertyDeviceIsAlive);
}

void PulseAudio::modelChanged(const ModelChanges& changes) {
    if (changes.deviceList) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (changes.removed) fireAlive();  // the listeners read which of theirs went
    if (changes.defaultSink) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    if (changes.defaultSource) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
}

void PulseAudio::connectionChanged(bool connected) {
    fire(kAudioObjectSystemObject, kLumvarServerReachable);
    if (!connected) return fireAlive();
    for (const FourCharCode selector : {kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultOutputDevice,
                                        kAudioHardwarePropertyDefaultInputDevice})
        fire(kAudioObjectSystemObject, selector);
}

}  // namespace pulse

std::unique_ptr<PlatformAudio> makePlatformAudio() { return std::make_unique<pulse::PulseAudio>(platformText()); }

}  // namespace lumvar::audio
