// CATapDescription as documented for macOS 14.2 (CoreAudio/CATapDescription.h).
#pragma once

#import <Foundation/Foundation.h>

typedef enum CATapMuteBehavior : NSInteger {
    CATapUnmuted = 0,
    CATapMuted = 1,
    CATapMutedWhenTapped = 2
} CATapMuteBehavior;

@interface CATapDescription : NSObject
- (instancetype)initStereoGlobalTapButExcludeProcesses:(NSArray<NSNumber*>*)processesObjectIDsToExclude;
@property(atomic, copy) NSUUID* UUID;
@property(atomic) CATapMuteBehavior muteBehavior;
@end
