#include "common/number_format.h"

#include <array>
#include <charconv>
#include <string_view>

namespace lumvar {
namespace {

template <typename T>
std::string shortestWithFraction(T value) {
    // Fixed notation so that large rates never turn into exponents; 400 chars hold any double.
    std::array<char, 400> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
    std::string text(buffer.data(), result.ptr);
    const bool finite = text.find_first_of("0123456789") != std::string::npos;
    if (finite && text.find('.') == std::string::npos) text += ".0";
    return text;
}

template <typename T>
std::string integer(T value) {
    std::array<char, 24> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

}  // namespace

std::string formatInt(std::int64_t value) {
    return integer(value);
}
std::string formatUnsigned(std::uint64_t value) {
    return integer(value);
}
std::string formatDouble(double value) {
    return shortestWithFraction(value);
}
std::string formatFloat(float value) {
    return shortestWithFraction(value);
}

}  // namespace lumvar
