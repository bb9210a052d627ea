// The process-tap functions as documented for macOS 14.2 (AudioHardwareTapping.h). The
// documentation gives them no nullability, and makes them available from macOS 14.2 on.
#pragma once

#import <CoreAudio/CoreAudio.h>

@class CATapDescription;

#ifdef __cplusplus
extern "C" {
#endif

OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID)
    __attribute__((availability(macos, introduced = 14.2)));
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) __attribute__((availability(macos, introduced = 14.2)));

#ifdef __cplusplus
}
#endif
