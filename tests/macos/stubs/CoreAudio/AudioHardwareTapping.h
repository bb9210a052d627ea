// The process-tap functions as documented for macOS 14.2 (CoreAudio/AudioHardwareTapping.h).
#pragma once

#import <CoreAudio/CoreAudio.h>

@class CATapDescription;

#ifdef __cplusplus
extern "C" {
#endif

OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);

#ifdef __cplusplus
}
#endif
