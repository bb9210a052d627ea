#include "audio/devices_json.h"

#include <array>

#include "common/line_breakers.h"
#include "common/number_format.h"

namespace lumvar::audio {
namespace {

bool appendString(std::string& json, std::string_view text, const Text& rules) {
    if (!rules.wellFormed(text)) return false;
    json.push_back('"');
    static constexpr std::array<char, 16> hex{'0', '1', '2', '3', '4', '5', '6', '7',
                                              '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    for (std::size_t at = 0; at < text.size();) {
        // Every control character, and the two separators some readers break lines at, as \uXXXX: the
        // same JSON value, and one line for every reader.
        if (const LineBreaker breaker = lineBreakerAt(text, at); breaker.length > 0) {
            json += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) json.push_back(hex[(breaker.code >> shift) & 0xF]);
            at += breaker.length;
            continue;
        }
        const char c = text[at++];
        if (c == '"' || c == '\\' || c == '/') json.push_back('\\');
        json.push_back(c);
    }
    json.push_back('"');
    return true;
}

}  // namespace

std::optional<std::string> devicesJson(const std::vector<InputDevice>& devices, const Text& text) {
    std::string json = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const InputDevice& device = devices[i];
        if (i > 0) json.push_back(',');
        json += "{\"uid\":";
        if (!appendString(json, device.uid, text)) return std::nullopt;
        json += ",\"name\":";
        if (!appendString(json, device.name, text)) return std::nullopt;
        json += ",\"ch\":" + formatInt(device.ch);
        json += device.isDefault ? ",\"default\":true}" : ",\"default\":false}";
    }
    json.push_back(']');
    return json;
}

}  // namespace lumvar::audio
