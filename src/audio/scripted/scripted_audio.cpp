#include "audio/scripted/scripted_audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/audio_properties.h"
#include "audio/property_fill.h"

namespace lumvar::audio {

namespace {

const char* opName(ScriptedAudio::Op op) {
    using Op = ScriptedAudio::Op;
    switch (op) {
        case Op::GetPropertyDataSize:
            return "getPropertyDataSize";
        case Op::GetPropertyData:
            return "getPropertyData";
        case Op::SetPropertyData:
            return "setPropertyData";
        case Op::CreateProcessTap:
            return "createProcessTap";
        case Op::DestroyProcessTap:
            return "destroyProcessTap";
        case Op::CreateAggregateDevice:
            return "createAggregateDevice";
        case Op::DestroyAggregateDevice:
            return "destroyAggregateDevice";
        case Op::CreateIOProcID:
            return "createIOProcID";
        case Op::DeviceStart:
            return "deviceStart";
        case Op::DeviceStop:
            return "deviceStop";
        case Op::DestroyIOProcID:
            return "destroyIOProcID";
        case Op::AddPropertyListener:
            return "addPropertyListener";
    }
    return "?";
}

std::uintptr_t procKey(AudioDeviceIOProcID id) {
    return reinterpret_cast<std::uintptr_t>(id);
}

// Streams are no objects of their own here: a stream's id carries its device's and its side.
constexpr AudioObjectID kInputStream = 0x4000'0000, kOutputStream = 0x8000'0000;

}  // namespace

ScriptedAudio::ScriptedAudio() : tapFormat(stereoFloatFormat(48000.0)) {}

ScriptedAudio::~ScriptedAudio() = default;

AudioObjectID ScriptedAudio::addDevice(Device device) {
    std::lock_guard guard(mutex_);
    const AudioObjectID id = nextID_++;
    objects_[id] = Object{Kind::Device, std::move(device), std::nullopt, 0, {}};
    return id;
}

void ScriptedAudio::setDefaultOutput(AudioObjectID id) {
    std::lock_guard guard(mutex_);
    defaultOutput_ = id;
}

void ScriptedAudio::setDefaultInput(AudioObjectID id) {
    std::lock_guard guard(mutex_);
    defaultInput_ = id;
}

void ScriptedAudio::setDeviceList(std::vector<AudioObjectID> ids) {
    std::lock_guard guard(mutex_);
    deviceListOverride_ = std::move(ids);
}

void ScriptedAudio::inject(Fault fault) {
    std::lock_guard guard(mutex_);
    faults_.push_back(fault);
}

void ScriptedAudio::clearFaults() {
    std::lock_guard guard(mutex_);
    faults_.clear();
    nullStrings_.clear();
}

void ScriptedAudio::setNullString(AudioObjectID object, FourCharCode selector) {
    std::lock_guard guard(mutex_);
    nullStrings_.insert({object, selector});
}

void ScriptedAudio::removeDevice(AudioObjectID id) {
    std::lock_guard guard(mutex_);
    objects_.erase(id);
    if (deviceListOverride_) std::erase(*deviceListOverride_, id);
}

void ScriptedAudio::setAlive(AudioObjectID id, bool alive) {
    std::lock_guard guard(mutex_);
    objects_.at(id).device.alive = alive;
}

std::optional<OSStatus> ScriptedAudio::faultFor(Op op, AudioObjectID object,
                                                std::optional<FourCharCode> selector) const {
    for (const Fault& fault : faults_) {
        if (fault.op && *fault.op != op) continue;
        if (fault.object && *fault.object != object) continue;
        if (fault.selector && (!selector || *fault.selector != *selector)) continue;
        return fault.status;
    }
    return std::nullopt;
}

void ScriptedAudio::record(Op op, AudioObjectID id) {
    calls_.push_back(std::string(opName(op)) + " " + std::to_string(id));
}

std::vector<AudioObjectID> ScriptedAudio::deviceList() const {
    if (deviceListOverride_) return *deviceListOverride_;
    std::vector<AudioObjectID> ids;
    for (const auto& [id, object] : objects_)
        if (object.kind != Kind::Tap) ids.push_back(id);
    return ids;
}

std::string ScriptedAudio::takeString(StringRef string) {
    --liveStrings_;
    return takePlatformString(string);
}

OSStatus ScriptedAudio::readString(AudioObjectID object, FourCharCode selector,
                                   const std::optional<std::string>& value, std::uint32_t& ioSize,
                                   void* outData) {
    if (!value || nullStrings_.contains({object, selector}))
        return fillProperty(StringRef{nullptr}, ioSize, outData);
    const OSStatus status = fillString(*value, ioSize, outData);
    if (status == kAudioHardwareNoError) ++liveStrings_;
    return status;
}

OSStatus ScriptedAudio::readStreams(const Object& object, FourCharCode scope, std::uint32_t& ioSize,
                                    void* outData) {
    return fillStreams(
        scope == kAudioObjectPropertyScopeInput ? object.device.inputStreams : object.device.outputStreams,
        ioSize, outData);
}

double ScriptedAudio::readRate(Object& object) {
    if (object.pendingRate) {
        if (object.readsBeforeRate == 0) {
            object.device.nominalRate = object.pendingRate;
            object.pendingRate.reset();
        } else {
            --object.readsBeforeRate;
        }
    }
    return *object.device.nominalRate;
}

OSStatus ScriptedAudio::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            std::uint32_t& outSize) {
    std::lock_guard guard(mutex_);
    if (auto fault = faultFor(Op::GetPropertyDataSize, object, address.mSelector)) return *fault;
    if (object == kAudioObjectSystemObject) {
        if (address.mSelector == kAudioHardwarePropertyDevices) {
            outSize = deviceListSizeAnswer.value_or(
                static_cast<std::uint32_t>(deviceList().size() * sizeof(AudioObjectID)));
            return kAudioHardwareNoError;
        }
        if (address.mSelector == kAudioHardwarePropertyDefaultInputDevice ||
            address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
            outSize = sizeof(AudioObjectID);
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    const auto found = objects_.find(object);
    if (found == objects_.end()) return kAudioHardwareBadObjectError;
    if (address.mSelector == kAudioDevicePropertyStreamConfiguration && found->second.kind != Kind::Tap) {
        const auto& device = found->second.device;
        const auto& streams =
            address.mScope == kAudioObjectPropertyScopeInput ? device.inputStreams : device.outputStreams;
        outSize = static_cast<std::uint32_t>(bufferListSize(static_cast<std::uint32_t>(streams.size())));
        return kAudioHardwareNoError;
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ScriptedAudio::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        std::uint32_t& ioSize, void* outData) {
    std::lock_guard guard(mutex_);
    ++reads_[{object, address.mSelector}];
    if (auto fault = faultFor(Op::GetPropertyData, object, address.mSelector)) return *fault;

    if (object == kAudioObjectSystemObject) {
        switch (address.mSelector) {
            case kAudioHardwarePropertyDefaultOutputDevice:
                return fillProperty(defaultOutput_, ioSize, outData);
            case kAudioHardwarePropertyDefaultInputDevice:
                return fillProperty(defaultInput_, ioSize, outData);
            case kLumvarTapKeepsLevel:
                return tapKeepsLevel ? fillProperty(*tapKeepsLevel, ioSize, outData)
                                     : kAudioHardwareUnknownPropertyError;
            case kLumvarServerReachable:
                return serverReachable ? fillProperty(*serverReachable, ioSize, outData)
                                       : kAudioHardwareUnknownPropertyError;
            case kLumvarCallPartsApart:
                return callPartsApart ? fillProperty(*callPartsApart, ioSize, outData)
                                      : kAudioHardwareUnknownPropertyError;
            case kAudioHardwarePropertyDevices: {
                const auto ids = deviceList();
                const std::size_t count = std::min<std::size_t>(ids.size(), ioSize / sizeof(AudioObjectID));
                if (count > 0) std::memcpy(outData, ids.data(), count * sizeof(AudioObjectID));
                ioSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
                return kAudioHardwareNoError;
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }

    if ((object & (kInputStream | kOutputStream)) != 0) {
        const auto device = objects_.find(object & ~(kInputStream | kOutputStream));
        if (device == objects_.end() || address.mSelector != kAudioStreamPropertyLatency ||
            address.mScope != kAudioObjectPropertyScopeGlobal)
            return kAudioHardwareUnknownPropertyError;
        const auto& latency = (object & kInputStream) != 0 ? device->second.device.inputStreamLatency
                                                           : device->second.device.outputStreamLatency;
        return latency ? fillProperty(*latency, ioSize, outData) : kAudioHardwareUnknownPropertyError;
    }
    const auto found = objects_.find(object);
    if (found == objects_.end()) return kAudioHardwareBadObjectError;
    Object& target = found->second;

    if (target.kind == Kind::Tap) {
        switch (address.mSelector) {
            case kAudioTapPropertyUID:
                return readString(object, address.mSelector, target.tap.uuid, ioSize, outData);
            case kAudioTapPropertyFormat:
                if (!tapFormat) return kAudioHardwareUnknownPropertyError;
                return fillProperty(*tapFormat, ioSize, outData);
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }

    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return readString(object, address.mSelector, target.device.uid, ioSize, outData);
        case kAudioObjectPropertyName:
            return readString(object, address.mSelector, target.device.name, ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration:
            return readStreams(target, address.mScope, ioSize, outData);
        case kAudioDevicePropertyDeviceIsAlive:
            return fillProperty(static_cast<std::uint32_t>(target.device.alive ? 1 : 0), ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate:
            if (!target.device.nominalRate) return kAudioHardwareUnknownPropertyError;
            return fillProperty(readRate(target), ioSize, outData);
        case kAudioDevicePropertyLatency: {
            const bool input = address.mScope == kAudioObjectPropertyScopeInput;
            const auto& latency = input ? target.device.inputLatency : target.device.outputLatency;
            if (!latency || (!input && address.mScope != kAudioObjectPropertyScopeOutput))
                return kAudioHardwareUnknownPropertyError;
            return fillProperty(*latency, ioSize, outData);
        }
        case kAudioDevicePropertySafetyOffset:
            if (!target.device.outputSafetyOffset || address.mScope != kAudioObjectPropertyScopeOutput)
                return kAudioHardwareUnknownPropertyError;
            return fillProperty(*target.device.outputSafetyOffset, ioSize, outData);
        case kAudioDevicePropertyStreams: {
            const bool input = address.mScope == kAudioObjectPropertyScopeInput;
            if ((input ? target.device.inputStreams : target.device.outputStreams).empty())
                return kAudioHardwareUnknownPropertyError;
            return fillProperty(streamOf(object, address.mScope), ioSize, outData);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus ScriptedAudio::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        std::uint32_t size, const void* data) {
    std::lock_guard guard(mutex_);
    record(Op::SetPropertyData, object);
    if (auto fault = faultFor(Op::SetPropertyData, object, address.mSelector)) return *fault;
    const auto found = objects_.find(object);
    if (found == objects_.end()) return kAudioHardwareBadObjectError;
    Object& target = found->second;
    if (address.mSelector != kAudioDevicePropertyNominalSampleRate || target.kind == Kind::Tap ||
        !target.device.nominalRate)
        return kAudioHardwareUnknownPropertyError;
    if (size != sizeof(double) || data == nullptr) return kAudioHardwareBadPropertySizeError;

    double wanted = 0.0;
    std::memcpy(&wanted, data, sizeof wanted);
    const RateResponse& response = target.device.rateResponse;
    if (response.never) return kAudioHardwareNoError;
    target.pendingRate = wanted + response.offset;
    target.readsBeforeRate = response.reads;
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::createProcessTap(const TapDescription& description, AudioObjectID& outTapID) {
    std::lock_guard guard(mutex_);
    if (auto fault = faultFor(Op::CreateProcessTap, kAudioObjectUnknown, std::nullopt)) {
        record(Op::CreateProcessTap, 0);
        return *fault;
    }
    const AudioObjectID id = nextID_++;
    Object tap;
    tap.kind = Kind::Tap;
    tap.tap = description;
    objects_[id] = std::move(tap);
    tapsCreated_.push_back(description);
    outTapID = id;
    record(Op::CreateProcessTap, id);
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::destroyProcessTap(AudioObjectID tapID) {
    std::lock_guard guard(mutex_);
    record(Op::DestroyProcessTap, tapID);
    if (auto fault = faultFor(Op::DestroyProcessTap, tapID, std::nullopt)) return *fault;
    const auto found = objects_.find(tapID);
    if (found == objects_.end() || found->second.kind != Kind::Tap) return kAudioHardwareBadObjectError;
    objects_.erase(found);
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::createAggregateDevice(const AggregateDescription& description,
                                              AudioObjectID& outDeviceID) {
    const OSStatus status = addAggregate(description, outDeviceID);
    // As the HAL does, to this process too: the device list changed.
    if (status == kAudioHardwareNoError) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return status;
}

OSStatus ScriptedAudio::addAggregate(const AggregateDescription& description, AudioObjectID& outDeviceID) {
    std::lock_guard guard(mutex_);
    if (auto fault = faultFor(Op::CreateAggregateDevice, kAudioObjectUnknown, std::nullopt)) {
        record(Op::CreateAggregateDevice, 0);
        return *fault;
    }
    const AudioObjectID id = nextID_++;
    Object aggregate;
    aggregate.kind = Kind::Aggregate;
    aggregate.device.uid = description.uid;
    aggregate.device.name = description.name;
    // Its sub-devices' input buffers, then its tap's.
    for (const SubDeviceDescription& sub : description.subDevices)
        for (const auto& [objectID, object] : objects_)
            if (object.kind == Kind::Device && object.device.uid == sub.uid)
                aggregate.device.inputStreams.insert(aggregate.device.inputStreams.end(),
                                                     object.device.inputStreams.begin(),
                                                     object.device.inputStreams.end());
    aggregate.device.inputStreams.push_back(2);
    aggregate.device.nominalRate = aggregateInitialRate;
    aggregate.device.rateResponse = aggregateRateResponse;
    objects_[id] = std::move(aggregate);
    aggregatesCreated_.push_back(description);
    outDeviceID = id;
    record(Op::CreateAggregateDevice, id);
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::destroyAggregateDevice(AudioObjectID deviceID) {
    const OSStatus status = removeAggregate(deviceID);
    if (status == kAudioHardwareNoError) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return status;
}

OSStatus ScriptedAudio::removeAggregate(AudioObjectID deviceID) {
    std::lock_guard guard(mutex_);
    record(Op::DestroyAggregateDevice, deviceID);
    if (auto fault = faultFor(Op::DestroyAggregateDevice, deviceID, std::nullopt)) return *fault;
    const auto found = objects_.find(deviceID);
    if (found == objects_.end() || found->second.kind != Kind::Aggregate) return kAudioHardwareBadObjectError;
    objects_.erase(found);
    // Registrations stay counted: a caller that forgets to destroy its callback leaks it.
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                                AudioDeviceIOBlock block) {
    std::lock_guard guard(mutex_);
    record(Op::CreateIOProcID, device);
    if (auto fault = faultFor(Op::CreateIOProcID, device, std::nullopt)) return *fault;
    const auto found = objects_.find(device);
    if (found == objects_.end() || found->second.kind == Kind::Tap) return kAudioHardwareBadDeviceError;
    const std::uintptr_t key = nextProc_++;
    procs_[key] = IOProc{device, std::move(block), false};
    outProcID = reinterpret_cast<AudioDeviceIOProcID>(key);
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard guard(mutex_);
    record(Op::DeviceStart, device);
    if (auto fault = faultFor(Op::DeviceStart, device, std::nullopt)) return *fault;
    const auto found = procs_.find(procKey(procID));
    if (found == procs_.end() || found->second.device != device) return kAudioHardwareBadDeviceError;
    found->second.started = true;
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard guard(mutex_);  // waits for a callback in progress, as the platform does
    record(Op::DeviceStop, device);
    if (auto fault = faultFor(Op::DeviceStop, device, std::nullopt)) return *fault;
    const auto found = procs_.find(procKey(procID));
    if (found == procs_.end() || found->second.device != device) return kAudioHardwareBadDeviceError;
    found->second.started = false;
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard guard(mutex_);
    record(Op::DestroyIOProcID, device);
    if (auto fault = faultFor(Op::DestroyIOProcID, device, std::nullopt)) return *fault;
    const auto found = procs_.find(procKey(procID));
    if (found == procs_.end() || found->second.device != device) return kAudioHardwareBadDeviceError;
    procs_.erase(found);
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            AudioObjectPropertyListenerBlock block,
                                            PropertyListenerID& outID) {
    std::lock_guard guard(mutex_);
    if (!listenersSupported) return kAudioHardwareUnsupportedOperationError;
    if (auto fault = faultFor(Op::AddPropertyListener, object, address.mSelector)) return *fault;
    if (object != kAudioObjectSystemObject && !objects_.contains(object)) return kAudioHardwareBadObjectError;
    if (address.mSelector == kLumvarServerReachable && !serverReachable)
        return kAudioHardwareUnknownPropertyError;
    const std::uintptr_t key = nextListener_++;
    listeners_[key] = Listener{object, address, std::move(block)};
    outID = reinterpret_cast<PropertyListenerID>(key);
    return kAudioHardwareNoError;
}

OSStatus ScriptedAudio::removePropertyListener(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               PropertyListenerID id) {
    std::lock_guard guard(mutex_);
    const auto found = listeners_.find(reinterpret_cast<std::uintptr_t>(id));
    if (found == listeners_.end() || found->second.object != object ||
        found->second.address.mSelector != address.mSelector)
        return kAudioHardwareBadObjectError;
    listeners_.erase(found);
    return kAudioHardwareNoError;
}

int ScriptedAudio::fire(AudioObjectID object, FourCharCode selector) {
    std::vector<std::pair<AudioObjectPropertyAddress, AudioObjectPropertyListenerBlock>> due;
    {
        std::lock_guard guard(mutex_);
        for (const auto& [key, listener] : listeners_)
            if (listener.object == object && listener.address.mSelector == selector)
                due.emplace_back(listener.address, listener.block);
    }
    for (const auto& [address, block] : due) block(1, &address);  // outside the lock, as from another thread
    return static_cast<int>(due.size());
}

int ScriptedAudio::liveListeners() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(listeners_.size());
}

AudioObjectID ScriptedAudio::streamOf(AudioObjectID device, FourCharCode scope) {
    return device | (scope == kAudioObjectPropertyScopeInput ? kInputStream : kOutputStream);
}

std::map<AudioObjectID, AudioObjectID> ScriptedAudio::restartService() {
    std::vector<AudioObjectPropertyListenerBlock> told;
    std::map<AudioObjectID, AudioObjectID> renumbered;
    {
        std::lock_guard guard(mutex_);
        for (const auto& [key, listener] : listeners_)
            if (listener.object == kAudioObjectSystemObject &&
                listener.address.mSelector == kAudioHardwarePropertyServiceRestarted)
                told.push_back(listener.block);
        listeners_.clear();
        procs_.clear();
        std::map<AudioObjectID, Object> devices;
        for (auto& [id, object] : objects_)
            if (object.kind == Kind::Device) devices[renumbered[id] = nextID_++] = std::move(object);
        objects_ = std::move(devices);
        const auto renumber = [&](AudioObjectID id) { return renumbered.contains(id) ? renumbered[id] : 0; };
        defaultOutput_ = renumber(defaultOutput_);
        defaultInput_ = renumber(defaultInput_);
        deviceListOverride_.reset();
    }
    const AudioObjectPropertyAddress address = globalAddress(kAudioHardwarePropertyServiceRestarted);
    for (const auto& block : told) block(1, &address);
    return renumbered;
}

void ScriptedAudio::setNominalRate(AudioObjectID id, double rate) {
    std::lock_guard guard(mutex_);
    objects_.at(id).device.nominalRate = rate;
}

int ScriptedAudio::deliver(AudioObjectID device, const AudioBufferList& input, const AudioTimeStamp* time) {
    std::lock_guard guard(mutex_);
    static const AudioTimeStamp none{};
    const AudioTimeStamp* stamp = time != nullptr ? time : &none;
    AudioBufferList output{};
    int called = 0;
    for (auto& [key, proc] : procs_) {
        if (proc.device != device || !proc.started) continue;
        proc.block(&none, &input, stamp, &output, &none);
        ++called;
    }
    return called;
}

AudioDeviceIOBlock ScriptedAudio::callbackOf(AudioObjectID device) const {
    std::lock_guard guard(mutex_);
    for (const auto& [key, proc] : procs_)
        if (proc.device == device) return proc.block;
    return {};
}

std::vector<std::string> ScriptedAudio::calls() const {
    std::lock_guard guard(mutex_);
    return calls_;
}

void ScriptedAudio::clearCalls() {
    std::lock_guard guard(mutex_);
    calls_.clear();
}

int ScriptedAudio::reads(AudioObjectID object, FourCharCode selector) const {
    std::lock_guard guard(mutex_);
    const auto found = reads_.find({object, selector});
    return found == reads_.end() ? 0 : found->second;
}

int ScriptedAudio::liveTaps() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(std::count_if(objects_.begin(), objects_.end(),
                                          [](const auto& entry) { return entry.second.kind == Kind::Tap; }));
}

int ScriptedAudio::liveAggregates() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(std::count_if(objects_.begin(), objects_.end(), [](const auto& entry) {
        return entry.second.kind == Kind::Aggregate;
    }));
}

std::vector<AudioObjectID> ScriptedAudio::aggregateIDs() const {
    std::lock_guard guard(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, object] : objects_)
        if (object.kind == Kind::Aggregate) ids.push_back(id);
    return ids;
}

int ScriptedAudio::liveIOProcs() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(procs_.size());
}

int ScriptedAudio::startedIOProcs() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(
        std::count_if(procs_.begin(), procs_.end(), [](const auto& entry) { return entry.second.started; }));
}

std::vector<TapDescription> ScriptedAudio::tapsCreated() const {
    std::lock_guard guard(mutex_);
    return tapsCreated_;
}

std::vector<AggregateDescription> ScriptedAudio::aggregatesCreated() const {
    std::lock_guard guard(mutex_);
    return aggregatesCreated_;
}

std::optional<double> ScriptedAudio::rateOf(AudioObjectID object) const {
    std::lock_guard guard(mutex_);
    const auto found = objects_.find(object);
    if (found == objects_.end()) return std::nullopt;
    return found->second.device.nominalRate;
}

}  // namespace lumvar::audio
