// BOOL, nil, YES and NO of the Objective-C runtime. BOOL is a signed char on x86_64 macOS and a
// real bool on arm64: clang states which through __OBJC_BOOL_IS_BOOL when it compiles Objective-C.
#pragma once

#if defined(__OBJC_BOOL_IS_BOOL)
#if __OBJC_BOOL_IS_BOOL
typedef bool BOOL;
#else
typedef signed char BOOL;
#endif
#elif defined(__x86_64__)
typedef signed char BOOL;
#else
typedef bool BOOL;
#endif

#if __has_feature(objc_bool)
#define YES __objc_yes
#define NO __objc_no
#else
#define YES ((BOOL)1)
#define NO ((BOOL)0)
#endif

#ifndef nil
#ifdef __cplusplus
#define nil nullptr
#else
#define nil ((void*)0)
#endif
#endif
