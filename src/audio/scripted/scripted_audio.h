#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "audio/platform_audio.h"

namespace lumvar::audio {

// A table-driven stand-in for the audio system: devices, taps and aggregate devices in memory,
// failure injection, IO callbacks driven by the test, a call log and live-object counts.
class ScriptedAudio final : public PlatformAudio {
  public:
    enum class Op {
        GetPropertyDataSize,
        GetPropertyData,
        SetPropertyData,
        CreateProcessTap,
        DestroyProcessTap,
        CreateAggregateDevice,
        DestroyAggregateDevice,
        CreateIOProcID,
        DeviceStart,
        DeviceStop,
        DestroyIOProcID,
        AddPropertyListener,
    };

    // Fails every call that matches all of the fields that are set; the first matching fault wins.
    struct Fault {
        std::optional<Op> op;
        std::optional<AudioObjectID> object;
        std::optional<FourCharCode> selector;
        OSStatus status = 0;
    };

    // How a nominal rate answers a write: the new value (plus `offset`) shows after `reads` reads of
    // the old one; `never` keeps the old value.
    struct RateResponse {
        int reads = 0;
        double offset = 0.0;
        bool never = false;

        static RateResponse immediate(double offset = 0.0) { return {0, offset, false}; }
        static RateResponse afterReads(int reads) { return {reads, 0.0, false}; }
        static RateResponse neverChanges() { return {0, 0.0, true}; }
    };

    struct Device {
        std::optional<std::string> uid;               // nullopt: a null string
        std::optional<std::string> name;              // nullopt: a null string
        std::vector<std::uint32_t> inputStreams;      // channels of each input stream
        std::vector<std::uint32_t> outputStreams;     // channels of each output stream
        std::optional<double> nominalRate = 48000.0;  // nullopt: the property does not exist
        RateResponse rateResponse{};
        bool alive = true;
        // Frames; nullopt: 'who?'. A device's latency in its scope; its first stream's in the global scope
        // (the one scope a stream has); the output side's safety offset.
        std::optional<std::uint32_t> inputLatency{};
        std::optional<std::uint32_t> outputLatency{};
        std::optional<std::uint32_t> inputStreamLatency{};
        std::optional<std::uint32_t> outputStreamLatency{};
        std::optional<std::uint32_t> outputSafetyOffset{};
    };

    ScriptedAudio();
    ~ScriptedAudio() override;

    // --- setting the scene ---
    AudioObjectID addDevice(Device device);
    void setDefaultOutput(AudioObjectID id);
    void setDefaultInput(AudioObjectID id);
    // Replaces the natural device list (every device and aggregate in creation order), stale ids allowed.
    void setDeviceList(std::vector<AudioObjectID> ids);
    void inject(Fault fault);
    void clearFaults();  // null strings too
    void setNullString(AudioObjectID object, FourCharCode selector);
    // The device is gone: out of the list, and every read of it fails with '!obj'.
    void removeDevice(AudioObjectID id);
    void setAlive(AudioObjectID id, bool alive);
    // The device's rate moves on its own (its listeners are the test's to fire).
    void setNominalRate(AudioObjectID id, double rate);
    // The audio system's daemon starts again: every tap, aggregate, callback and listener is gone, the
    // devices come back under new ids, and the listeners of kAudioHardwarePropertyServiceRestarted are
    // called (then gone too). Returns the new id of each device by its old one.
    std::map<AudioObjectID, AudioObjectID> restartService();
    // The object that stands for the first stream of `device` in `scope`.
    static AudioObjectID streamOf(AudioObjectID device, FourCharCode scope);
    // Whether property listeners can be added (a backend that cannot tell answers 'unop').
    bool listenersSupported = true;
    // What the system object answers for this system's own properties; nullopt: 'who?'.
    std::optional<std::uint32_t> tapKeepsLevel;
    std::optional<std::uint32_t> serverReachable;
    std::optional<std::uint32_t> callPartsApart;

    // What every newly created tap reports, and how new aggregates start and answer rate writes.
    std::optional<AudioStreamBasicDescription> tapFormat;
    double aggregateInitialRate = 44100.0;
    // When set, the size query of the device list answers this instead of the list's true size,
    // as when devices come or go between a size query and the read that follows.
    std::optional<std::uint32_t> deviceListSizeAnswer;
    RateResponse aggregateRateResponse;

    // --- driving IO ---
    // Calls every started callback of `device` with `input` stamped `time` (none: a stamp with no valid
    // field), in registration order, on this thread. Returns how many were called.
    int deliver(AudioObjectID device, const AudioBufferList& input, const AudioTimeStamp* time = nullptr);
    // The callback registered on `device`, to be called as the platform calls it, with nothing of this
    // stand-in in the way (for benchmarks); empty when there is none.
    AudioDeviceIOBlock callbackOf(AudioObjectID device) const;

    // Calls every listener of (object, selector) on this thread, as the platform would after a change.
    // Returns how many were called. Creating or destroying an aggregate fires the system object's
    // device list, as the HAL does.
    int fire(AudioObjectID object, FourCharCode selector);

    // --- observing ---
    std::vector<std::string> calls() const;  // every non-read call: "<op> <id>"
    void clearCalls();
    int reads(AudioObjectID object, FourCharCode selector) const;
    int liveTaps() const;
    int liveAggregates() const;
    std::vector<AudioObjectID> aggregateIDs() const;
    int liveIOProcs() const;
    int startedIOProcs() const;
    int liveStrings() const { return liveStrings_.load(); }
    int liveListeners() const;
    std::vector<TapDescription> tapsCreated() const;
    std::vector<AggregateDescription> aggregatesCreated() const;
    std::optional<double> rateOf(AudioObjectID object) const;

    // --- PlatformAudio ---
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
    enum class Kind { Device, Tap, Aggregate };
    struct Object {
        Kind kind = Kind::Device;
        Device device;                      // devices and aggregates
        std::optional<double> pendingRate;  // a written rate not showing yet
        int readsBeforeRate = 0;
        TapDescription tap;  // taps
    };
    struct IOProc {
        AudioObjectID device = 0;
        AudioDeviceIOBlock block;
        bool started = false;
    };
    struct Listener {
        AudioObjectID object = 0;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerBlock block;
    };

    std::optional<OSStatus> faultFor(Op op, AudioObjectID object, std::optional<FourCharCode> selector) const;
    void record(Op op, AudioObjectID id);
    std::vector<AudioObjectID> deviceList() const;
    OSStatus readString(AudioObjectID object, FourCharCode selector, const std::optional<std::string>& value,
                        std::uint32_t& ioSize, void* outData);
    OSStatus readStreams(const Object& object, FourCharCode scope, std::uint32_t& ioSize, void* outData);
    double readRate(Object& object);
    OSStatus addAggregate(const AggregateDescription& description, AudioObjectID& outDeviceID);
    OSStatus removeAggregate(AudioObjectID deviceID);

    mutable std::mutex mutex_;
    std::map<AudioObjectID, Object> objects_;
    std::map<std::uintptr_t, IOProc> procs_;
    std::map<std::uintptr_t, Listener> listeners_;
    std::optional<std::vector<AudioObjectID>> deviceListOverride_;
    std::vector<Fault> faults_;
    std::set<std::pair<AudioObjectID, FourCharCode>> nullStrings_;
    std::map<std::pair<AudioObjectID, FourCharCode>, int> reads_;
    std::vector<std::string> calls_;
    std::vector<TapDescription> tapsCreated_;
    std::vector<AggregateDescription> aggregatesCreated_;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    AudioObjectID defaultInput_ = kAudioObjectUnknown;
    AudioObjectID nextID_ = 32;
    std::uintptr_t nextProc_ = 1;
    std::uintptr_t nextListener_ = 1;
    std::atomic<int> liveStrings_{0};
};

}  // namespace lumvar::audio
