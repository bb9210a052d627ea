#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

// The shapes of the platform audio system: Core Audio's own, so that every backend speaks the same
// ids, statuses, property addresses, stream descriptions and buffer lists.
namespace lumvar::audio {

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;
using FourCharCode = std::uint32_t;

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr OSStatus kAudioHardwareNoError = 0;

// The 32-bit value whose bytes, most significant first, are the four characters.
consteval FourCharCode fourCC(const char (&code)[5]) {
    return (static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}

struct AudioObjectPropertyAddress {
    FourCharCode mSelector = 0;
    FourCharCode mScope = 0;
    std::uint32_t mElement = 0;
};

struct AudioStreamBasicDescription {
    double mSampleRate = 0.0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// Variable length: mNumberBuffers entries follow, of which only the first is declared.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

// Where a list's buffers start: every walk over a list goes through these, never past the declared array.
inline std::span<AudioBuffer> buffersOf(AudioBufferList& list, std::size_t count) {
    return {reinterpret_cast<AudioBuffer*>(reinterpret_cast<std::byte*>(&list) +
                                           offsetof(AudioBufferList, mBuffers)),
            count};
}
inline std::span<const AudioBuffer> buffersOf(const AudioBufferList& list) {
    return buffersOf(const_cast<AudioBufferList&>(list), list.mNumberBuffers);
}

// Bytes needed for a list of `count` buffers.
constexpr std::size_t bufferListSize(std::uint32_t count) {
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (count == 0 ? 1 : count);
}

// How many buffers `bytes` of a list can hold, whatever its count claims.
constexpr std::size_t buffersWithin(std::size_t bytes) {
    return bytes < offsetof(AudioBufferList, mBuffers)
               ? 0
               : (bytes - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
}

// Core Audio's layout, so that the platform's stamps pass through unchanged. Only the fields whose
// flag is set carry a value.
struct AudioTimeStamp {
    double mSampleTime = 0.0;     // the device's own frame count
    std::uint64_t mHostTime = 0;  // the platform's host clock (see PlatformAudio::hostTimeToClockNanos)
    double mRateScalar = 0.0;     // actual over nominal rate
    std::uint64_t mWordClockTime = 0;
    std::byte mSMPTETime[24] = {};  // not used here
    std::uint32_t mFlags = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioTimeStamp) == 64);
inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 1u << 1;
inline constexpr std::uint32_t kAudioTimeStampRateScalarValid = 1u << 2;

// Opaque handle of a registered IO callback; null means none.
using AudioDeviceIOProcID = struct IOProcHandle*;

// Called on the device's own IO thread with: now, input list, input time, output list, output time.
using AudioDeviceIOBlock =
    std::function<void(const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                       const AudioTimeStamp*)>;

// Called on any thread of the platform's with the addresses whose values changed. It must only hand
// work on (post it to the main queue): it may run while the main queue is busy with the same objects.
using AudioObjectPropertyListenerBlock =
    std::function<void(std::uint32_t count, const AudioObjectPropertyAddress* addresses)>;

// Opaque handle of a registered property listener; null means none.
using PropertyListenerID = struct PropertyListenerHandle*;

// A string owned by whoever read it; null is a valid value (a null string), distinct from a failed read.
using StringRef = const struct PlatformString*;

}  // namespace lumvar::audio
