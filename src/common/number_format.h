#pragma once

#include <cstdint>
#include <string>

namespace lumvar {

// Numbers as status lines print them: integers in plain decimal, floating-point values in the
// shortest decimal form that reads back as the same value, always with a fractional part.
std::string formatInt(std::int64_t value);
std::string formatUnsigned(std::uint64_t value);
std::string formatDouble(double value);
std::string formatFloat(float value);

}  // namespace lumvar
