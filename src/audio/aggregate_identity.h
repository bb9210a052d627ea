#pragma once

namespace lumvar::audio {

// The name and UID prefix of the private aggregate devices this system creates; the device listing
// leaves devices that carry either out. A created UID is the prefix, a dot and a fresh UUID.
inline constexpr const char* kAggregateName = "LUMVAR Tap";
inline constexpr const char* kAggregateUIDPrefix = "com.vormalde.lumvar.agg";

}  // namespace lumvar::audio
