// The NSObject protocol and root class, which dispatch objects and Foundation classes build on.
#pragma once

#import <objc/objc.h>

#pragma clang assume_nonnull begin

@protocol NSObject
- (BOOL)isEqual:(nullable id)object;
@end

__attribute__((objc_root_class))
@interface NSObject <NSObject>
+ (instancetype)alloc;
+ (instancetype)new;
- (instancetype)init;
- (id)mutableCopy;
@end

#pragma clang assume_nonnull end
