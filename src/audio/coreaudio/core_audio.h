#pragma once

#include "audio/platform_audio.h"

namespace lumvar::audio::coreaudio {

// The platform audio system on Core Audio's HAL and its process taps (macOS 14.2 or later). Ids,
// statuses, property addresses, stream descriptions and buffer lists are Core Audio's own, so most
// calls pass straight through; string properties arrive as CFStringRefs owned by the caller.
class CoreAudio final : public PlatformAudio {
public:
    CoreAudio();
    ~CoreAudio() override;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size,
                             const void* data) override;
    std::string takeString(StringRef string) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                     AudioDeviceIOBlock block) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
};

}  // namespace lumvar::audio::coreaudio
