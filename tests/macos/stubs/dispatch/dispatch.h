// dispatch_queue_t as libdispatch declares it. Compiled as Objective-C, dispatch objects are
// Objective-C objects (NSObject conforming to a protocol per type) so that ARC manages them: a null
// queue is accepted, a C pointer is not. In C and C++ they are plain struct pointers.
#pragma once

#ifdef __OBJC__
#import <objc/NSObject.h>

@protocol OS_dispatch_object <NSObject>
@end
typedef NSObject<OS_dispatch_object>* dispatch_object_t;

@protocol OS_dispatch_queue <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
#else
typedef struct dispatch_queue_s* dispatch_queue_t;
#endif
