#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "audio/property_fill.h"
#include "audio/server/server_audio.h"
#include "audio/server/server_statuses.h"
#include "common/uuid.h"

namespace lumvar::audio::server {
namespace {

// The highest rate an aggregate may be asked for (PulseAudio's own limit).
constexpr double kMaxRate = 384000.0;

// The channels a device offers in the scope asked for: a sink outputs, a source inputs.
std::uint32_t channelsIn(FourCharCode scope, bool isSink, std::uint32_t channels) {
    return (scope == kAudioObjectPropertyScopeOutput) == isSink ? channels : 0;
}

std::uintptr_t procKey(AudioDeviceIOProcID id) {
    return reinterpret_cast<std::uintptr_t>(id);
}

}  // namespace

// The platform audio system on a sound server (PulseAudio, PipeWire's pulse server, or PipeWire itself):
// - the system object lists every sink and every source as a device, each under an id that stays the
//   same for the life of the process, across reconnections too; the UID is the sink's or source's
//   name, the name its description;
// - an aggregate device carries one tap, which records what the aggregate's main device plays (the sink
//   whose UID the build read): its IO callback is a capture stream on that sink's monitor;
// - an input device's IO callback is a capture stream on that source in its own format, or at the rate
//   this process last set as the device's nominal rate (the server converts; other clients see nothing);
// - a call's two parts run apart, each on its own stream;
// - property reads are answered from the server's model, which its change events keep current;
//   reads of the device list and the defaults first make one round trip, so they see every change
//   the server announced before them (a list's data read shares its size read's);
// - listeners are called from the server's events: the device list, the defaults, a device in use
//   that went away or whose stream ended, and the connection itself.
// Its operations are called from one thread (the main queue); IO blocks and listeners run on the
// backend's threads.
class ServerAudio final : public PlatformAudio, private ServerConnection::Observer {
  public:
    ServerAudio() = default;
    ~ServerAudio() override;

    // False when no server of the connection's kind is there.
    bool connect(const Connect& connect) {
        connection_ = connect(*this);
        return connection_ != nullptr;
    }

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t& ioSize, void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t size, const void* data) override;
    std::string takeString(StringRef string) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const AggregateDescription& description,
                                   AudioObjectID& outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                     AudioDeviceIOBlock block) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerBlock block, PropertyListenerID& outID) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    PropertyListenerID id) override;

  private:
    struct DeviceKey {
        bool isSink;
        std::string name;
        auto operator<=>(const DeviceKey&) const = default;
    };
    struct Tap {
        std::string uid;
        std::string sink;   // the aggregate's main device, once an aggregate carries the tap
        DeviceInfo source;  // what records it
    };
    struct Aggregate {
        std::string uid;
        std::string name;
        AudioObjectID tapID = 0;
        double rate = 0.0;
    };
    struct Proc {
        AudioObjectID device = 0;
        AudioDeviceIOBlock block;
        std::unique_ptr<CaptureStream> stream;
    };
    struct Listener {
        AudioObjectID object = 0;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerBlock block;
    };

    // Lock held for all of these: they read the model, and the ids the loop's events may forget.
    AudioObjectID idFor(const DeviceKey& key);
    bool known(AudioObjectID id) {
        ServerConnection::Lock lock(*connection_);
        return keys_.contains(id);
    }
    const DeviceInfo* deviceFor(AudioObjectID id) const;
    std::optional<std::uint32_t> channelsOf(AudioObjectID object, FourCharCode scope) const;
    std::optional<DeviceInfo> recorderOf(const DeviceInfo& sink) const;
    bool alive(AudioObjectID object) const;
    OSStatus readSystem(FourCharCode selector, std::uint32_t& ioSize, void* outData);
    OSStatus readDevice(const DeviceInfo& device, const AudioObjectPropertyAddress& address,
                        std::uint32_t& ioSize, void* outData);
    OSStatus readAggregate(AudioObjectID id, const Aggregate& aggregate,
                           const AudioObjectPropertyAddress& address, std::uint32_t& ioSize, void* outData);
    std::vector<AudioObjectID> deviceIDs();
    Proc* findProc(AudioObjectID device, AudioDeviceIOProcID procID);

    // The events, on the loop's thread.
    void modelChanged(const ModelChanges& changes) override;
    void connectionChanged(bool connected) override;
    void fire(AudioObjectID object, FourCharCode selector);
    void fireAlive();  // every device that is listened to for it
    void forgetRemoved();

    // Made before the connection, whose events use them.
    mutable std::mutex eventsMutex_;  // never held while taking the loop's lock
    std::map<std::uintptr_t, Listener> listeners_;
    std::uintptr_t nextListener_ = 1;
    std::set<AudioObjectID> ended_;       // devices and aggregates whose stream ended under them
    std::atomic<bool> connected_{false};  // the loop's: whether its model is complete

    std::unique_ptr<ServerConnection> connection_;
    AudioObjectID nextID_ = 16;
    std::map<DeviceKey, AudioObjectID> ids_;
    std::map<AudioObjectID, DeviceKey> keys_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<std::uintptr_t, Proc> procs_;
    std::uintptr_t nextProc_ = 1;
    bool listSynced_ = false;                       // a size read of the device list made its round trip
    std::map<AudioObjectID, std::uint32_t> rates_;  // sources' rates as this process set them
};

ServerAudio::~ServerAudio() {
    {
        std::lock_guard guard(eventsMutex_);
        listeners_.clear();
    }
    procs_.clear();  // every stream stops while the connection still runs
}

AudioObjectID ServerAudio::idFor(const DeviceKey& key) {
    const auto found = ids_.find(key);
    if (found != ids_.end()) return found->second;
    const AudioObjectID id = nextID_++;
    ids_[key] = id;
    keys_[id] = key;
    return id;
}

const DeviceInfo* ServerAudio::deviceFor(AudioObjectID id) const {
    const auto key = keys_.find(id);
    return key == keys_.end() ? nullptr : connection_->model().find(key->second.isSink, key->second.name);
}

bool ServerAudio::alive(AudioObjectID object) const {
    if (connection_->usable() != kAudioHardwareNoError) return false;
    {
        std::lock_guard guard(eventsMutex_);
        if (ended_.contains(object)) return false;
    }
    if (const auto aggregate = aggregates_.find(object); aggregate != aggregates_.end())
        return connection_->model().find(true, taps_.at(aggregate->second.tapID).sink) != nullptr;
    return deviceFor(object) != nullptr;
}

std::vector<AudioObjectID> ServerAudio::deviceIDs() {
    std::vector<AudioObjectID> ids;
    for (const DeviceInfo* device : connection_->model().devices())
        ids.push_back(idFor({device->isSink, device->name}));
    for (const auto& [id, aggregate] : aggregates_) ids.push_back(id);
    return ids;
}

// The one answer to a stream configuration: each device has a single interleaved buffer, or none in
// the scope it does not serve.
std::optional<std::uint32_t> ServerAudio::channelsOf(AudioObjectID object, FourCharCode scope) const {
    if (aggregates_.contains(object)) return scope == kAudioObjectPropertyScopeInput ? 2 : 0;
    const DeviceInfo* device = deviceFor(object);
    if (device == nullptr) return std::nullopt;
    return channelsIn(scope, device->isSink, device->channels);
}

OSStatus ServerAudio::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          std::uint32_t& outSize) {
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDevices) {
        if (const OSStatus status = connection_->sync(); status != kAudioHardwareNoError) return status;
        listSynced_ = true;
        ServerConnection::Lock lock(*connection_);
        outSize = static_cast<std::uint32_t>(deviceIDs().size() * sizeof(AudioObjectID));
        return kAudioHardwareNoError;
    }
    if (address.mSelector != kAudioDevicePropertyStreamConfiguration) return kUnknownProperty;
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    ServerConnection::Lock lock(*connection_);
    const auto channels = channelsOf(object, address.mScope);
    if (!channels) return kNoSuchDevice;
    outSize = static_cast<std::uint32_t>(bufferListSize(*channels > 0 ? 1 : 0));
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      std::uint32_t& ioSize, void* outData) {
    if (object == kAudioObjectSystemObject) return readSystem(address.mSelector, ioSize, outData);
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    ServerConnection::Lock lock(*connection_);
    if (const auto tap = taps_.find(object); tap != taps_.end()) {
        if (address.mSelector == kAudioTapPropertyUID) return fillString(tap->second.uid, ioSize, outData);
        if (address.mSelector == kAudioTapPropertyFormat) {
            // Its sink's rate once an aggregate carries it, the default sink's before.
            const DeviceInfo* sink = connection_->model().find(
                true, tap->second.sink.empty() ? connection_->model().defaults().sink : tap->second.sink);
            return fillProperty(stereoFloatFormat(sink != nullptr ? sink->rate : 0), ioSize, outData);
        }
        return kUnknownProperty;
    }
    if (address.mSelector == kAudioDevicePropertyStreamConfiguration) {
        const auto channels = channelsOf(object, address.mScope);
        if (!channels) return kNoSuchDevice;
        const std::uint32_t one[] = {*channels};
        return fillStreams(std::span(one, *channels > 0 ? 1 : 0), ioSize, outData);
    }
    if (const auto aggregate = aggregates_.find(object); aggregate != aggregates_.end())
        return readAggregate(object, aggregate->second, address, ioSize, outData);
    const DeviceInfo* device = deviceFor(object);
    if (device == nullptr) return kNoSuchDevice;
    return readDevice(*device, address, ioSize, outData);
}

OSStatus ServerAudio::readSystem(FourCharCode selector, std::uint32_t& ioSize, void* outData) {
    if (selector == kLumvarServerReachable)
        return fillProperty(static_cast<std::uint32_t>(connection_->usable() == kAudioHardwareNoError),
                            ioSize, outData);
    // The server's monitor of a sink carries what plays on all its channels at their level already.
    if (selector == kLumvarTapKeepsLevel) return fillProperty(std::uint32_t{1}, ioSize, outData);
    if (selector == kLumvarCallPartsApart) return fillProperty(std::uint32_t{1}, ioSize, outData);
    const bool output = selector == kAudioHardwarePropertyDefaultOutputDevice;
    if (selector != kAudioHardwarePropertyDevices && !output &&
        selector != kAudioHardwarePropertyDefaultInputDevice)
        return kUnknownProperty;
    // The size read's round trip serves the data read that follows it: a list's two reads see one model.
    const bool synced = selector == kAudioHardwarePropertyDevices && std::exchange(listSynced_, false);
    if (!synced)
        if (const OSStatus status = connection_->sync(); status != kAudioHardwareNoError) return status;
    ServerConnection::Lock lock(*connection_);
    if (selector == kAudioHardwarePropertyDevices) {
        const auto ids = deviceIDs();
        const std::size_t count = std::min<std::size_t>(ids.size(), ioSize / sizeof(AudioObjectID));
        if (count > 0) std::memcpy(outData, ids.data(), count * sizeof(AudioObjectID));
        ioSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
        return kAudioHardwareNoError;
    }
    const Defaults& defaults = connection_->model().defaults();
    const std::string& name = output ? defaults.sink : defaults.source;
    const bool known = !name.empty() && connection_->model().find(output, name) != nullptr;
    return fillProperty(known ? idFor({output, name}) : kAudioObjectUnknown, ioSize, outData);
}

OSStatus ServerAudio::readDevice(const DeviceInfo& device, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& ioSize, void* outData) {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return fillString(device.name, ioSize, outData);
        case kAudioObjectPropertyName:
            return fillString(device.description, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate: {
            const auto set = rates_.find(ids_.at({device.isSink, device.name}));
            return fillProperty(static_cast<double>(set != rates_.end() ? set->second : device.rate), ioSize,
                                outData);
        }
        case kAudioDevicePropertyDeviceIsAlive: {
            const AudioObjectID id = ids_.at({device.isSink, device.name});
            return fillProperty(static_cast<std::uint32_t>(alive(id)), ioSize, outData);
        }
        default:
            return kUnknownProperty;
    }
}

OSStatus ServerAudio::readAggregate(AudioObjectID id, const Aggregate& aggregate,
                                    const AudioObjectPropertyAddress& address, std::uint32_t& ioSize,
                                    void* outData) {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return fillString(aggregate.uid, ioSize, outData);
        case kAudioObjectPropertyName:
            return fillString(aggregate.name, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate:
            return fillProperty(aggregate.rate, ioSize, outData);
        case kAudioDevicePropertyDeviceIsAlive:
            return fillProperty(static_cast<std::uint32_t>(alive(id)), ioSize, outData);
        default:
            return kUnknownProperty;
    }
}

OSStatus ServerAudio::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      std::uint32_t size, const void* data) {
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    if (address.mSelector != kAudioDevicePropertyNominalSampleRate) return kUnknownProperty;
    if (size != sizeof(double) || data == nullptr) return kBadSize;
    double rate = 0.0;
    std::memcpy(&rate, data, sizeof rate);
    if (!(rate >= 1.0 && rate <= kMaxRate)) return kIllegal;
    const auto aggregate = aggregates_.find(object);
    if (aggregate == aggregates_.end()) {
        // A source records at the rate set here from its next start on; a sink's rate is the server's.
        ServerConnection::Lock lock(*connection_);
        const DeviceInfo* device = deviceFor(object);
        if (device == nullptr) return kNoSuchDevice;
        if (device->isSink) return kIllegal;
        const auto whole = static_cast<std::uint32_t>(rate + 0.5);
        if (whole == device->rate) {
            rates_.erase(object);
        } else {
            rates_[object] = whole;
        }
        return kAudioHardwareNoError;
    }
    aggregate->second.rate = rate;  // the record stream is made at this rate when the device starts
    return kAudioHardwareNoError;
}

std::string ServerAudio::takeString(StringRef string) {
    return takePlatformString(string);
}

// What records what `sink` plays: its monitor source, or, where the backend records a sink's output
// itself, the sink; nothing when its "monitor" is a source of its own (a duplex node through the pulse
// server, whose monitor is its input side).
std::optional<DeviceInfo> ServerAudio::recorderOf(const DeviceInfo& sink) const {
    const DeviceInfo* monitor = connection_->model().find(false, sink.monitorSource);
    if (monitor != nullptr && monitor->monitorOf == sink.name) return *monitor;
    if (!connection_->capturesSinks()) return std::nullopt;
    return DeviceInfo{
        false, sink.index, sink.name + ".monitor", "Monitor of " + sink.description, sink.channels, sink.rate,
        "",    sink.name};
}

// A tap records nothing yet: the aggregate that carries it names the sink, the one whose UID the build
// read, whatever the default has become meanwhile.
OSStatus ServerAudio::createProcessTap(const TapDescription& description, AudioObjectID& outTapID) {
    if (!description.stereoGlobal || !description.excludedProcessObjects.empty()) return kIllegal;
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    const AudioObjectID id = nextID_++;
    taps_[id] = Tap{description.uuid.empty() ? RandomUuids().next() : description.uuid, "", {}};
    outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::destroyProcessTap(AudioObjectID tapID) {
    return taps_.erase(tapID) == 1 ? kAudioHardwareNoError : kNoSuchDevice;
}

OSStatus ServerAudio::createAggregateDevice(const AggregateDescription& description,
                                            AudioObjectID& outDeviceID) {
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    if (description.taps.size() != 1) return kIllegal;
    Tap* tap = nullptr;
    for (auto& [id, candidate] : taps_)
        if (candidate.uid == description.taps[0].uid) tap = &candidate;
    if (tap == nullptr || !tap->sink.empty()) return kNoSuchDevice;
    double rate = 0.0;
    {
        ServerConnection::Lock lock(*connection_);
        const DeviceInfo* sink = connection_->model().find(true, description.master);
        if (sink == nullptr) return kNoSuchDevice;
        const auto recorder = recorderOf(*sink);
        if (!recorder) return kNoMonitor;
        tap->sink = sink->name;
        tap->source = *recorder;
        rate = static_cast<double>(sink->rate);
    }
    const AudioObjectID id = nextID_++;
    for (const auto& [tapID, candidate] : taps_)
        if (&candidate == tap) aggregates_[id] = Aggregate{description.uid, description.name, tapID, rate};
    outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::destroyAggregateDevice(AudioObjectID deviceID) {
    if (aggregates_.erase(deviceID) != 1) return kNoSuchDevice;
    for (auto& [key, proc] : procs_)  // a device that is gone delivers nothing more
        if (proc.device == deviceID) proc.stream.reset();
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                              AudioDeviceIOBlock block) {
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    if (!aggregates_.contains(device) && !known(device)) return kBadDevice;
    const std::uintptr_t key = nextProc_++;
    procs_[key] = Proc{device, std::move(block), nullptr};
    outProcID = reinterpret_cast<AudioDeviceIOProcID>(key);
    return kAudioHardwareNoError;
}

ServerAudio::Proc* ServerAudio::findProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    const auto found = procs_.find(procKey(procID));
    if (found == procs_.end() || found->second.device != device) return nullptr;
    return &found->second;
}

OSStatus ServerAudio::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    if (const OSStatus status = connection_->usable(); status != kAudioHardwareNoError) return status;
    Proc* proc = findProc(device, procID);
    if (proc == nullptr) return kBadDevice;
    if (proc->stream) return kAudioHardwareNoError;

    DeviceInfo source;
    std::uint32_t channels = 0, rate = 0;
    {
        ServerConnection::Lock lock(*connection_);
        const DeviceInfo* info = nullptr;
        if (const auto aggregate = aggregates_.find(device); aggregate != aggregates_.end()) {
            const Tap& tap = taps_.at(aggregate->second.tapID);
            if (connection_->model().find(true, tap.sink) != nullptr)
                info = &tap.source;  // its sink may have gone
            channels = 2;
            rate = static_cast<std::uint32_t>(aggregate->second.rate + 0.5);
        } else {
            info = deviceFor(device);
            if (info != nullptr && info->isSink) return kAudioHardwareNoError;  // no input: never called
            if (info != nullptr) channels = info->channels, rate = info->rate;
            if (const auto set = rates_.find(device); info != nullptr && set != rates_.end())
                rate = set->second;
        }
        if (info == nullptr) return kNoSuchDevice;
        source = *info;
    }
    {
        std::lock_guard guard(eventsMutex_);
        ended_.erase(device);
    }
    auto stream = connection_->makeStream(proc->block, [this, device] {
        {
            std::lock_guard guard(eventsMutex_);
            ended_.insert(device);
        }
        fire(device, kAudioDevicePropertyDeviceIsAlive);
    });
    if (const OSStatus status = stream->start(source, channels, rate); status != kAudioHardwareNoError)
        return status;
    proc->stream = std::move(stream);
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    Proc* proc = findProc(device, procID);
    if (proc == nullptr) return kBadDevice;
    proc->stream.reset();  // disconnects before it returns
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    if (findProc(device, procID) == nullptr) return kBadDevice;
    procs_.erase(procKey(procID));
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                          AudioObjectPropertyListenerBlock block, PropertyListenerID& outID) {
    if (object != kAudioObjectSystemObject && !known(object) && !aggregates_.contains(object))
        return kNoSuchDevice;
    std::lock_guard guard(eventsMutex_);
    const std::uintptr_t key = nextListener_++;
    listeners_[key] = Listener{object, address, std::move(block)};
    outID = reinterpret_cast<PropertyListenerID>(key);
    return kAudioHardwareNoError;
}

OSStatus ServerAudio::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             PropertyListenerID id) {
    std::lock_guard guard(eventsMutex_);
    const auto found = listeners_.find(reinterpret_cast<std::uintptr_t>(id));
    if (found == listeners_.end() || found->second.object != object ||
        found->second.address.mSelector != address.mSelector)
        return kNoSuchDevice;
    listeners_.erase(found);
    return kAudioHardwareNoError;
}

// A device that left while connected is gone for good: its id is forgotten (and never given again), so
// that ids do not pile up for every device ever seen. Ids of a model a reconnection reloads are kept.
void ServerAudio::forgetRemoved() {
    for (auto key = keys_.begin(); key != keys_.end();) {
        if (connection_->model().find(key->second.isSink, key->second.name) != nullptr) {
            ++key;
            continue;
        }
        ids_.erase(key->second);
        rates_.erase(key->first);
        key = keys_.erase(key);
    }
}

void ServerAudio::fire(AudioObjectID object, FourCharCode selector) {
    std::vector<std::pair<AudioObjectPropertyAddress, AudioObjectPropertyListenerBlock>> due;
    {
        std::lock_guard guard(eventsMutex_);
        for (const auto& [key, listener] : listeners_)
            if (listener.object == object && listener.address.mSelector == selector)
                due.emplace_back(listener.address, listener.block);
    }
    for (const auto& [address, block] : due) block(1, &address);
}

void ServerAudio::fireAlive() {
    std::set<AudioObjectID> watched;
    {
        std::lock_guard guard(eventsMutex_);
        for (const auto& [key, listener] : listeners_)
            if (listener.address.mSelector == kAudioDevicePropertyDeviceIsAlive)
                watched.insert(listener.object);
    }
    for (const AudioObjectID object : watched) fire(object, kAudioDevicePropertyDeviceIsAlive);
}

void ServerAudio::modelChanged(const ModelChanges& changes) {
    if (!connected_.load(std::memory_order_relaxed)) return;  // a model still loading is no change yet
    if (changes.removed) forgetRemoved();
    if (changes.deviceList) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (changes.removed) fireAlive();  // the listeners read which of theirs went
    if (changes.defaultSink) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    if (changes.defaultSource) fire(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
}

void ServerAudio::connectionChanged(bool connected) {
    connected_.store(connected, std::memory_order_relaxed);
    fire(kAudioObjectSystemObject, kLumvarServerReachable);
    if (!connected) return fireAlive();
    for (const FourCharCode selector :
         {kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultOutputDevice,
          kAudioHardwarePropertyDefaultInputDevice})
        fire(kAudioObjectSystemObject, selector);
}

std::unique_ptr<PlatformAudio> makeServerAudio(const Connect& connect) {
    auto audio = std::make_unique<ServerAudio>();
    if (!audio->connect(connect)) return nullptr;
    return audio;
}

}  // namespace lumvar::audio::server
