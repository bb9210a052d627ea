#pragma once

#include <string>
#include <vector>

#include "audio/audio_types.h"

namespace lumvar::audio {

// What a process tap is asked to capture: a stereo mix of every process except those listed.
struct TapDescription {
    bool stereoGlobal = true;
    // Process *objects* of the audio system (what kAudioHardwarePropertyTranslatePIDToProcessObject
    // answers for a PID), not PIDs.
    std::vector<AudioObjectID> excludedProcessObjects;
    std::string uuid;
    std::int32_t muteBehavior = 0;  // 0: the tapped audio keeps playing
    bool isPrivate = true;          // visible only to this process, as its aggregate is
};

struct SubTapDescription {
    std::string uid;
    bool drift = false;
};

// A device an aggregate runs on its clock; `drift`: resampled to follow it.
struct SubDeviceDescription {
    std::string uid;
    bool drift = false;
};

// The dictionary an aggregate device is created from ("name", "uid", "master", "private",
// "tapautostart", "subdevices" with "uid" and "drift", "taps" with "uid" and "drift"). Its input buffers
// are its sub-devices' in their order, then its taps'.
struct AggregateDescription {
    std::string name;
    std::string uid;
    std::string master;
    bool isPrivate = false;
    bool tapAutoStart = false;
    std::vector<SubDeviceDescription> subDevices;
    std::vector<SubTapDescription> taps;
};

// The operations the system needs from the platform audio system. Every call returns a status;
// 0 is success. Reads and the one write take no qualifier.
class PlatformAudio {
  public:
    virtual ~PlatformAudio() = default;

    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t& outSize) = 0;
    // ioSize: the room offered in, the bytes filled out. String properties fill one StringRef,
    // which the caller then owns and hands back through takeString().
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t& ioSize, void* outData) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t size, const void* data) = 0;

    // Copies the text out as UTF-8 and releases the reference. Not to be called with null.
    virtual std::string takeString(StringRef string) = 0;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;
    virtual OSStatus createAggregateDevice(const AggregateDescription& description,
                                           AudioObjectID& outDeviceID) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

    // Registers a callback that the platform calls on the device's own IO thread (no dispatch queue).
    virtual OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                             AudioDeviceIOBlock block) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
    // Once stop and destroy have returned, the callback is never called again.
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

    // Calls `block` whenever the property's value changes (the device list, a default device, whether
    // a device is alive). A backend that cannot tell answers kAudioHardwareUnsupportedOperationError.
    virtual OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerBlock block,
                                         PropertyListenerID& outID) = 0;
    // Once it has returned, the block is not called again (a call already under way may still finish).
    virtual OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            PropertyListenerID id) = 0;

    // A host time of an IO cycle's time stamp as nanoseconds on the clock that a parent's runtime reads
    // as its monotonic clock. Where host times already are that clock (CLOCK_MONOTONIC nanoseconds),
    // this is the identity. Main queue only: a platform may read its clocks here.
    virtual std::int64_t hostTimeToClockNanos(std::uint64_t hostTime) {
        return static_cast<std::int64_t>(hostTime);
    }
    // The host clock now.
    virtual std::uint64_t currentHostTime();
};

}  // namespace lumvar::audio
