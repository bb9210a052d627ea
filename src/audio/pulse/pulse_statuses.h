#pragma once

#include "audio/server/server_statuses.h"

namespace lumvar::audio::pulse {

// Statuses of the PulseAudio backend, four-character codes like the platform's own (README lists them).
inline constexpr OSStatus kNotConnected = static_cast<OSStatus>(fourCC("pcon"));  // no server reachable
inline constexpr OSStatus kTimedOut =
    static_cast<OSStatus>(fourCC("ptmo"));  // the server did not answer in time
inline constexpr OSStatus kStreamFailed =
    static_cast<OSStatus>(fourCC("pstr"));  // a record stream could not start

}  // namespace lumvar::audio::pulse
