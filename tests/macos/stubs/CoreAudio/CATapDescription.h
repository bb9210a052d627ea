// CATapDescription as documented (CATapDescription.h): the Objective-C property names are those of
// the documentation's symbol identifiers, the Boolean ones and muteBehavior read through is... getters,
// and privateTap is written through setPrivate: (so setPrivateTap: is rejected, as by the SDK).
#pragma once

#import <Foundation/Foundation.h>

enum CATapMuteBehavior : NSInteger {
    CATapUnmuted = 0,
    CATapMuted = 1,
    CATapMutedWhenTapped = 2
};
typedef enum CATapMuteBehavior CATapMuteBehavior;

#pragma clang assume_nonnull begin

@interface CATapDescription : NSObject
- (instancetype)initStereoMixdownOfProcesses:(NSArray<NSNumber*>*)processesObjectIDsToIncludeInTap;
- (instancetype)initStereoGlobalTapButExcludeProcesses:(NSArray<NSNumber*>*)processesObjectIDsToExcludeFromTap;

@property(atomic, copy) NSString* name;
@property(atomic, copy) NSUUID* UUID;
@property(atomic, copy, readwrite) NSArray<NSNumber*>* processes;
@property(atomic, readwrite, getter=isMono) BOOL mono;
@property(atomic, readwrite, getter=isExclusive) BOOL exclusive;
@property(atomic, readwrite, getter=isMixdown) BOOL mixdown;
@property(atomic, readwrite, getter=isPrivate, setter=setPrivate:) BOOL privateTap;
@property(atomic, readwrite, getter=isMuted) CATapMuteBehavior muteBehavior;
@property(atomic, copy, nullable) NSString* deviceUID;
@property(atomic, copy, nullable) NSNumber* stream;
@end

#pragma clang assume_nonnull end
