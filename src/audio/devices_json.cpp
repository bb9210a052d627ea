#include "audio/devices_json.h"

#include <array>

#include "common/number_format.h"

namespace lumvar::audio {
namespace {

bool appendString(std::string& json, std::string_view text, const Text& rules) {
    if (!rules.wellFormed(text)) return false;
    json.push_back('"');
    for (const char c : text) {
        switch (c) {
            case '"':
                json += "\\\"";
                break;
            case '\\':
                json += "\\\\";
                break;
            case '/':
                json += "\\/";
                break;
            case '\b':
                json += "\\b";
                break;
            case '\f':
                json += "\\f";
                break;
            case '\n':
                json += "\\n";
                break;
            case '\r':
                json += "\\r";
                break;
            case '\t':
                json += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    static constexpr std::array<char, 16> hex{'0', '1', '2', '3', '4', '5', '6', '7',
                                                              '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
                    json += "\\u00";
                    json.push_back(hex[static_cast<unsigned char>(c) >> 4]);
                    json.push_back(hex[static_cast<unsigned char>(c) & 0xF]);
                } else {
                    json.push_back(c);
                }
        }
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
