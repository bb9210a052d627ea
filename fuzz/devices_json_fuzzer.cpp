// The device-list JSON over a few devices whose texts and numbers come from the input. With every uid
// and name well-formed UTF-8 (judged by ICU's decoder, not the writer's check), the result is one line
// of JSON (for readers that also break at NEL, U+2028 and U+2029) that parses back to exactly the devices
// given, every "/" written as "\/"; with any text ill-formed there is no result at all.
#include <fuzzer/FuzzedDataProvider.h>
#include <unicode/utf8.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "audio/devices_json.h"

namespace {

using lumvar::audio::InputDevice;

void require(bool holds) {
    if (!holds) std::abort();  // libFuzzer keeps the input that got here
}

bool wellFormed(const std::string& text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::int32_t i = 0, length = static_cast<std::int32_t>(text.size()); i < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

// Mostly well-formed texts, so that both outcomes come often.
std::string someText(FuzzedDataProvider& input) {
    const bool raw = input.ConsumeBool();
    const std::string bytes = input.ConsumeRandomLengthString(48);
    return raw ? bytes : lumvar::platformText().sanitize(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<InputDevice> devices(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    bool valid = true;
    for (InputDevice& device : devices) {
        device.uid = someText(input);
        device.name = someText(input);
        device.ch = input.ConsumeIntegral<std::int64_t>();
        device.isDefault = input.ConsumeBool();
        valid = valid && wellFormed(device.uid) && wellFormed(device.name);
    }
    const auto json = lumvar::audio::devicesJson(devices, lumvar::platformText());
    require(json.has_value() == valid);
    if (!json) return 0;
    for (std::size_t i = 0; i < json->size(); ++i) {
        // One line for every reader: no raw control character (C0, DEL, C1), no U+2028 or U+2029.
        const auto byte = static_cast<unsigned char>((*json)[i]);
        require(byte >= 0x20 && byte != 0x7F);
        const std::string_view rest = std::string_view(*json).substr(i);
        require(!(byte == 0xC2 && rest.size() > 1 && static_cast<unsigned char>(rest[1]) <= 0x9F));
        require(!rest.starts_with("\xE2\x80\xA8") && !rest.starts_with("\xE2\x80\xA9"));
        std::size_t escapes = 0;
        while ((*json)[i] == '/' && escapes < i && (*json)[i - 1 - escapes] == '\\') ++escapes;
        require((*json)[i] != '/' || escapes % 2 == 1);
    }
    const auto parsed = nlohmann::json::parse(*json, nullptr, false);
    require(parsed.is_array() && parsed.size() == devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto& object = parsed[i];
        require(object.size() == 4 && object.value("uid", "\xff") == devices[i].uid &&
                object.value("name", "\xff") == devices[i].name && object["ch"].is_number_integer() &&
                object["ch"].get<std::int64_t>() == devices[i].ch &&
                object["default"] == devices[i].isDefault);
    }
    return 0;
}
