// The HAL types, constants and functions the macOS backend uses, from Apple's documented
// declarations (AudioHardwareBase.h, AudioHardware.h, AudioHardwareDeprecated.h). Nullability is
// as the documentation gives it: non-null unless marked, as in the SDK's audited headers.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreAudio/CoreAudioTypes.h>
#include <dispatch/dispatch.h>

typedef UInt32 AudioObjectID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

enum : AudioObjectID { kAudioObjectUnknown = 0 };
enum : AudioObjectID { kAudioObjectSystemObject = 1 };
enum : OSStatus {
    kAudioHardwareNoError = 0,
    kAudioHardwareIllegalOperationError = 'nope',
    kAudioHardwareBadObjectError = '!obj'
};
enum : AudioObjectPropertyScope { kAudioObjectPropertyScopeGlobal = 'glob', kAudioObjectPropertyElementMain = 0 };
// Its value is a CFRunLoopRef; NULL makes the HAL notify on a thread of its own.
enum : AudioObjectPropertySelector { kAudioHardwarePropertyRunLoop = 'rnlp' };
// Changes when the audio daemon (coreaudiod) has restarted; only its listeners matter.
enum : AudioObjectPropertySelector { kAudioHardwarePropertyServiceRestarted = 'srst' };

#define kAudioAggregateDeviceUIDKey "uid"
#define kAudioAggregateDeviceNameKey "name"
#define kAudioAggregateDeviceMainSubDeviceKey "master"
#define kAudioAggregateDeviceIsPrivateKey "private"
#define kAudioAggregateDeviceTapListKey "taps"
#define kAudioAggregateDeviceTapAutoStartKey "tapautostart"
#define kAudioAggregateDeviceSubDeviceListKey "subdevices"
#define kAudioSubDeviceUIDKey "uid"
#define kAudioSubDeviceDriftCompensationKey "drift"
#define kAudioSubTapUIDKey "uid"
#define kAudioSubTapDriftCompensationKey "drift"

#pragma clang assume_nonnull begin

typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                      void* _Nullable inClientData);
typedef AudioDeviceIOProc AudioDeviceIOProcID;
typedef void (^AudioDeviceIOBlock)(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                   const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                                   const AudioTimeStamp* inOutputTime);
typedef void (^AudioObjectPropertyListenerBlock)(UInt32 inNumberAddresses,
                                                 const AudioObjectPropertyAddress* inAddresses);

#ifdef __cplusplus
extern "C" {
#endif

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* _Nullable inQualifierData,
                                        UInt32* outDataSize);
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* _Nullable inQualifierData,
                                    UInt32* ioDataSize, void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* _Nullable inQualifierData,
                                    UInt32 inDataSize, const void* inData);
OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                             dispatch_queue_t _Nullable inDispatchQueue,
                                             AudioObjectPropertyListenerBlock inListener);
OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                dispatch_queue_t _Nullable inDispatchQueue,
                                                AudioObjectPropertyListenerBlock inListener);
OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID);
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);
OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID _Nullable* outIOProcID, AudioObjectID inDevice,
                                            dispatch_queue_t _Nullable inDispatchQueue, AudioDeviceIOBlock inIOBlock);
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
// A null proc starts or stops the hardware alone.
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID _Nullable inProcID);

#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
