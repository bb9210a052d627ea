// Core Audio's HAL and process taps behind the platform-audio interface. Objective-C++ with ARC: the
// tap description is an Objective-C object, and the tapping API is visible to Objective-C only.
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreAudio/CoreAudio.h>
#import <Foundation/Foundation.h>
#include <mach/mach_time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/platform_backend.h"

namespace lumvar::audio::coreaudio {

// The platform audio system on Core Audio's HAL and its process taps (macOS 14.2 or later). Ids,
// statuses, property addresses, stream descriptions and buffer lists are Core Audio's own, so most
// calls pass straight through; string properties arrive as CFStringRefs owned by the caller.
class CoreAudio final : public PlatformAudio {
  public:
    CoreAudio();
    ~CoreAudio() override = default;

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
    std::int64_t hostTimeToClockNanos(std::uint64_t hostTime) override;
    std::uint64_t currentHostTime() override { return mach_absolute_time(); }

  private:
    // The HAL sends its notifications on the main thread's run loop unless told otherwise, and the main
    // thread here never runs one: without this, no listener would ever be called, and a rate written to
    // a device might never become visible. A restart of the audio daemon forgets it, with every listener.
    static void notifyOnTheHALsThread();
    void followRestarts();

    std::int64_t toNanos(std::uint64_t ticks) const {
        return static_cast<std::int64_t>(static_cast<unsigned __int128>(ticks) * timebase_.numer /
                                         timebase_.denom);
    }

    mach_timebase_info_data_t timebase_{1, 1};
    ::AudioObjectPropertyListenerBlock restarted_ = nil;
    // Removing a listener needs the very block that was added.
    std::mutex mutex_;
    std::map<std::uintptr_t, ::AudioObjectPropertyListenerBlock> listeners_;
    std::uintptr_t nextListener_ = 1;
};

// Our shapes are Core Audio's: lists, buffers and stream descriptions pass through unchanged.
static_assert(sizeof(audio::AudioStreamBasicDescription) == sizeof(::AudioStreamBasicDescription));
static_assert(sizeof(audio::AudioBuffer) == sizeof(::AudioBuffer));
static_assert(offsetof(audio::AudioBuffer, mData) == offsetof(::AudioBuffer, mData));
static_assert(offsetof(audio::AudioBufferList, mBuffers) == offsetof(::AudioBufferList, mBuffers));
static_assert(offsetof(audio::AudioTimeStamp, mSampleTime) == offsetof(::AudioTimeStamp, mSampleTime));
static_assert(offsetof(audio::AudioTimeStamp, mHostTime) == offsetof(::AudioTimeStamp, mHostTime));
static_assert(offsetof(audio::AudioTimeStamp, mRateScalar) == offsetof(::AudioTimeStamp, mRateScalar));
static_assert(offsetof(audio::AudioTimeStamp, mFlags) == offsetof(::AudioTimeStamp, mFlags));
static_assert(sizeof(audio::AudioTimeStamp) == sizeof(::AudioTimeStamp));
static_assert(audio::kAudioTimeStampSampleTimeValid == ::kAudioTimeStampSampleTimeValid &&
              audio::kAudioTimeStampHostTimeValid == ::kAudioTimeStampHostTimeValid);
static_assert(sizeof(StringRef) == sizeof(CFStringRef));
static_assert(sizeof(audio::AudioObjectPropertyAddress) == sizeof(::AudioObjectPropertyAddress));
// Proc IDs are handed back and forth as our opaque pointer type.
static_assert(sizeof(audio::AudioDeviceIOProcID) == sizeof(::AudioDeviceIOProcID));

namespace {

::AudioObjectPropertyAddress platformAddress(const audio::AudioObjectPropertyAddress& address) {
    return {address.mSelector, address.mScope, address.mElement};
}

NSString* text(const std::string& value) {
    NSString* converted = [NSString stringWithUTF8String:value.c_str()];
    return converted != nil ? converted : @"";
}

NSString* key(CFStringRef value) {
    return (__bridge NSString*)value;
}

::AudioDeviceIOProcID platformProc(audio::AudioDeviceIOProcID procID) {
    return reinterpret_cast<::AudioDeviceIOProcID>(procID);
}

}  // namespace

CoreAudio::CoreAudio() {
    mach_timebase_info(&timebase_);
    notifyOnTheHALsThread();
    followRestarts();
}

void CoreAudio::notifyOnTheHALsThread() {
    const ::AudioObjectPropertyAddress runLoop{kAudioHardwarePropertyRunLoop, kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
    CFRunLoopRef none = nullptr;
    AudioObjectSetPropertyData(kAudioObjectSystemObject, &runLoop, 0, nullptr, sizeof none, &none);
}

// After a restart of the daemon the notification thread is set again, and this listener made again (the
// restart forgot it); the process's own listeners and sources start again from the main queue, which
// hears of the restart through a listener of its own.
void CoreAudio::followRestarts() {
    const ::AudioObjectPropertyAddress address{kAudioHardwarePropertyServiceRestarted,
                                               kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
    if (restarted_ != nil)
        AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &address, nullptr, restarted_);
    restarted_ = ^(UInt32, const ::AudioObjectPropertyAddress*) {
      notifyOnTheHALsThread();
      followRestarts();
    };
    AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, &address, nullptr, restarted_);
}

OSStatus CoreAudio::getPropertyDataSize(AudioObjectID object,
                                        const audio::AudioObjectPropertyAddress& address,
                                        std::uint32_t& outSize) {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    UInt32 size = outSize;
    const OSStatus status = AudioObjectGetPropertyDataSize(object, &platform, 0, nullptr, &size);
    outSize = size;
    return status;
}

OSStatus CoreAudio::getPropertyData(AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                    std::uint32_t& ioSize, void* outData) {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    UInt32 size = ioSize;
    const OSStatus status = AudioObjectGetPropertyData(object, &platform, 0, nullptr, &size, outData);
    ioSize = size;
    return status;
}

OSStatus CoreAudio::setPropertyData(AudioObjectID object, const audio::AudioObjectPropertyAddress& address,
                                    std::uint32_t size, const void* data) {
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    return AudioObjectSetPropertyData(object, &platform, 0, nullptr, size, data);
}

std::string CoreAudio::takeString(StringRef string) {
    // The reference is the caller's: copy its text out as UTF-8, then release it at once.
    CFStringRef value = reinterpret_cast<CFStringRef>(string);
    const CFIndex length = CFStringGetLength(value);
    const CFIndex room = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::vector<char> bytes(static_cast<std::size_t>(room));
    std::string copied;
    if (CFStringGetCString(value, bytes.data(), room, kCFStringEncodingUTF8)) copied = bytes.data();
    CFRelease(value);
    return copied;
}

OSStatus CoreAudio::createProcessTap(const TapDescription& description, AudioObjectID& outTapID) {
    if (!description.stereoGlobal) return kAudioHardwareIllegalOperationError;
    @autoreleasepool {
        NSMutableArray<NSNumber*>* excluded = [NSMutableArray array];
        // Process objects, as the initializer documents (not PIDs).
        for (const AudioObjectID process : description.excludedProcessObjects)
            [excluded addObject:@(process)];
        NSUUID* uuid = [[NSUUID alloc] initWithUUIDString:text(description.uuid)];
        if (uuid == nil) return kAudioHardwareIllegalOperationError;

        CATapDescription* tap = [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:excluded];
        [tap setUUID:uuid];
        [tap setMuteBehavior:static_cast<CATapMuteBehavior>(description.muteBehavior)];
        // Otherwise the tap, which carries every process's audio, is visible to every process.
        [tap setPrivate:description.isPrivate];

        ::AudioObjectID tapID = kAudioObjectUnknown;
        const OSStatus status = AudioHardwareCreateProcessTap(tap, &tapID);
        outTapID = tapID;
        return status;
    }
}

OSStatus CoreAudio::destroyProcessTap(AudioObjectID tapID) {
    return AudioHardwareDestroyProcessTap(tapID);
}

OSStatus CoreAudio::createAggregateDevice(const AggregateDescription& description,
                                          AudioObjectID& outDeviceID) {
    @autoreleasepool {
        NSMutableArray* taps = [NSMutableArray array];
        for (const SubTapDescription& tap : description.taps) {
            [taps addObject:@{
                key(CFSTR(kAudioSubTapUIDKey)) : text(tap.uid),
                key(CFSTR(kAudioSubTapDriftCompensationKey)) : @(tap.drift),
            }];
        }
        NSMutableDictionary* dictionary = [@{
            key(CFSTR(kAudioAggregateDeviceNameKey)) : text(description.name),
            key(CFSTR(kAudioAggregateDeviceUIDKey)) : text(description.uid),
            key(CFSTR(kAudioAggregateDeviceMainSubDeviceKey)) : text(description.master),
            key(CFSTR(kAudioAggregateDeviceIsPrivateKey)) : @(description.isPrivate),
            key(CFSTR(kAudioAggregateDeviceTapAutoStartKey)) : @(description.tapAutoStart),
            key(CFSTR(kAudioAggregateDeviceTapListKey)) : taps,
        } mutableCopy];
        // The list's order is the order of the aggregate's streams (as AudioHardware.h says of
        // kAudioAggregateDevicePropertyFullSubDeviceList): the capture finds each sub-device's buffers by
        // it. Without sub-devices the key stays out, and the system source's aggregate is as it was.
        if (!description.subDevices.empty()) {
            NSMutableArray* subDevices = [NSMutableArray array];
            for (const SubDeviceDescription& device : description.subDevices) {
                // A CFNumber, as AudioHardware.h documents this key (non-zero: drift compensation on).
                [subDevices addObject:@{
                    key(CFSTR(kAudioSubDeviceUIDKey)) : text(device.uid),
                    key(CFSTR(kAudioSubDeviceDriftCompensationKey)) : @(device.drift ? 1 : 0),
                }];
            }
            dictionary[key(CFSTR(kAudioAggregateDeviceSubDeviceListKey))] = subDevices;
        }
        ::AudioObjectID deviceID = kAudioObjectUnknown;
        const OSStatus status =
            AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)dictionary, &deviceID);
        outDeviceID = deviceID;
        return status;
    }
}

OSStatus CoreAudio::destroyAggregateDevice(AudioObjectID deviceID) {
    return AudioHardwareDestroyAggregateDevice(deviceID);
}

OSStatus CoreAudio::createIOProcIDWithBlock(audio::AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                            audio::AudioDeviceIOBlock block) {
    // The block captures the callback by value: the HAL's copy of the block owns its own copy of the
    // callback, which lives until AudioDeviceDestroyIOProcID has returned and the HAL lets go of it.
    // Runs on the device's IO thread and only forwards.
    const audio::AudioDeviceIOBlock callback = std::move(block);
    ::AudioDeviceIOBlock platformBlock =
        ^(const ::AudioTimeStamp* now, const ::AudioBufferList* input, const ::AudioTimeStamp* inputTime,
          ::AudioBufferList* output, const ::AudioTimeStamp* outputTime) {
          callback(reinterpret_cast<const audio::AudioTimeStamp*>(now),
                   reinterpret_cast<const audio::AudioBufferList*>(input),
                   reinterpret_cast<const audio::AudioTimeStamp*>(inputTime),
                   reinterpret_cast<audio::AudioBufferList*>(output),
                   reinterpret_cast<const audio::AudioTimeStamp*>(outputTime));
        };
    ::AudioDeviceIOProcID procID = nullptr;
    // No dispatch queue: the HAL calls the block on the device's own real-time IO thread.
    const OSStatus status = AudioDeviceCreateIOProcIDWithBlock(&procID, device, nullptr, platformBlock);
    if (status != kAudioHardwareNoError) return status;
    outProcID = reinterpret_cast<audio::AudioDeviceIOProcID>(procID);
    return status;
}

OSStatus CoreAudio::deviceStart(AudioObjectID device, audio::AudioDeviceIOProcID procID) {
    return AudioDeviceStart(device, platformProc(procID));
}

OSStatus CoreAudio::deviceStop(AudioObjectID device, audio::AudioDeviceIOProcID procID) {
    return AudioDeviceStop(device, platformProc(procID));
}

OSStatus CoreAudio::destroyIOProcID(AudioObjectID device, audio::AudioDeviceIOProcID procID) {
    return AudioDeviceDestroyIOProcID(device, platformProc(procID));
}

OSStatus CoreAudio::addPropertyListener(AudioObjectID object,
                                        const audio::AudioObjectPropertyAddress& address,
                                        audio::AudioObjectPropertyListenerBlock block,
                                        PropertyListenerID& outID) {
    const audio::AudioObjectPropertyListenerBlock listener = std::move(block);
    ::AudioObjectPropertyListenerBlock platformBlock =
        ^(UInt32 count, const ::AudioObjectPropertyAddress* addresses) {
          listener(count, reinterpret_cast<const audio::AudioObjectPropertyAddress*>(addresses));
        };
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    // No dispatch queue: the HAL calls the block on its own notification thread.
    const OSStatus status = AudioObjectAddPropertyListenerBlock(object, &platform, nullptr, platformBlock);
    if (status != kAudioHardwareNoError) return status;
    std::lock_guard guard(mutex_);
    const std::uintptr_t key = nextListener_++;
    listeners_[key] = platformBlock;
    outID = reinterpret_cast<PropertyListenerID>(key);
    return status;
}

OSStatus CoreAudio::removePropertyListener(AudioObjectID object,
                                           const audio::AudioObjectPropertyAddress& address,
                                           PropertyListenerID id) {
    ::AudioObjectPropertyListenerBlock block = nil;
    {
        std::lock_guard guard(mutex_);
        const auto found = listeners_.find(reinterpret_cast<std::uintptr_t>(id));
        if (found == listeners_.end()) return kAudioHardwareBadObjectError;
        block = found->second;
        listeners_.erase(found);
    }
    const ::AudioObjectPropertyAddress platform = platformAddress(address);
    return AudioObjectRemovePropertyListenerBlock(object, &platform, nullptr, block);
}

// Host times count mach_absolute_time, which stands still while the machine sleeps; the clock a parent's
// runtime reads as monotonic (mach_continuous_time: Node's hrtime, CLOCK_MONOTONIC_RAW) does not. The
// sleep so far, read now, moves a host time onto that clock.
std::int64_t CoreAudio::hostTimeToClockNanos(std::uint64_t hostTime) {
    const std::uint64_t asleep = mach_continuous_time() - mach_absolute_time();
    return toNanos(hostTime + asleep);
}

}  // namespace lumvar::audio::coreaudio

namespace lumvar::audio {

std::unique_ptr<PlatformAudio> makePlatformAudio() {
    return std::make_unique<coreaudio::CoreAudio>();
}

}  // namespace lumvar::audio
