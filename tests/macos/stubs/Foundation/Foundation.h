// Declarations of the few Foundation classes and methods the macOS sources use, from Apple's
// documented signatures (nullability included: Foundation's headers assume non-null).
#pragma once

#import <objc/NSObject.h>
#include <CoreFoundation/CoreFoundation.h>

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef struct _NSZone NSZone;

#pragma clang assume_nonnull begin

@protocol NSCopying
- (id)copyWithZone:(nullable NSZone*)zone;
@end

@interface NSString : NSObject <NSCopying>
+ (nullable instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
@end

// The class of @"..." literals.
@interface NSConstantString : NSString
@end

@interface NSNumber : NSObject <NSCopying>
+ (NSNumber*)numberWithInt:(int)value;
+ (NSNumber*)numberWithUnsignedInt:(unsigned int)value;
+ (NSNumber*)numberWithLong:(long)value;
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithDouble:(double)value;
@end

@interface NSArray<__covariant ObjectType> : NSObject <NSCopying>
+ (instancetype)array;
+ (instancetype)arrayWithObjects:(const ObjectType _Nonnull[_Nonnull])objects count:(NSUInteger)cnt;
@end

@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
- (void)addObject:(ObjectType)anObject;
@end

// What @{...} literals are built with; the keys must be copyable.
@interface NSDictionary<__covariant KeyType, __covariant ObjectType> : NSObject <NSCopying>
+ (instancetype)dictionaryWithObjects:(const ObjectType _Nonnull[_Nullable])objects
                              forKeys:(const KeyType<NSCopying> _Nonnull[_Nullable])keys
                                count:(NSUInteger)cnt;
@end

@interface NSMutableDictionary<KeyType, ObjectType> : NSDictionary<KeyType, ObjectType>
- (void)setObject:(nullable ObjectType)obj forKeyedSubscript:(KeyType<NSCopying>)key;
@end

@interface NSUUID : NSObject <NSCopying>
+ (instancetype)UUID;
- (nullable instancetype)initWithUUIDString:(NSString*)string;
@end

#pragma clang assume_nonnull end
