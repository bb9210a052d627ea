#pragma once

#include "audio/server/server_statuses.h"

namespace lumvar::audio::pipewire {

// Statuses of the native PipeWire backend, four-character codes like the platform's own (README lists them).
inline constexpr OSStatus kNotConnected =
    static_cast<OSStatus>(fourCC("wcon"));                                    // the daemon is not reachable
inline constexpr OSStatus kTimedOut = static_cast<OSStatus>(fourCC("wtmo"));  // it did not answer in time
inline constexpr OSStatus kStreamFailed = static_cast<OSStatus>(fourCC("wstr"));  // a stream could not start

}  // namespace lumvar::audio::pipewire
