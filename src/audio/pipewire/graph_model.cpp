#include "audio/pipewire/graph_model.h"

#include <spa/utils/json.h>

#include <charconv>
#include <cstring>
#include <vector>

namespace lumvar::audio::pipewire {
namespace {

using server::DeviceInfo;
using server::ModelChanges;

std::string_view lookup(const Properties& properties, std::string_view key) {
    const auto found = properties.find(key);
    return found == properties.end() ? std::string_view{} : std::string_view(found->second);
}

std::uint32_t number(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size() ? value : 0;
}

// The pulse server's reading of media.class: a duplex node is both, a virtual source a source.
bool sinkClass(std::string_view media) {
    return media == "Audio/Sink" || media == "Audio/Duplex";
}
bool sourceClass(std::string_view media) {
    return media == "Audio/Source" || media == "Audio/Duplex" || media == "Audio/Source/Virtual";
}

}  // namespace

std::optional<std::string> defaultName(std::string_view json) {
    spa_json outer{};
    spa_json object{};
    spa_json_init(&outer, json.data(), json.size());
    if (spa_json_enter_object(&outer, &object) <= 0) return std::nullopt;
    std::vector<char> text(json.size() + 1);  // a decoded string is never longer than its JSON
    const int room = static_cast<int>(text.size());
    while (spa_json_get_string(&object, text.data(), room) > 0) {
        if (std::strcmp(text.data(), "name") == 0) {
            if (spa_json_get_string(&object, text.data(), room) <= 0) return std::nullopt;
            return std::string(text.data());
        }
        const char* skipped = nullptr;
        if (spa_json_next(&object, &skipped) <= 0) return std::nullopt;
    }
    return std::nullopt;
}

ModelChanges GraphModel::clear() {
    nodes_.clear();
    model_.clear();
    defaultSink_.clear();
    defaultSource_.clear();
    clockRate_ = 48000;
    return {};
}

ModelChanges GraphModel::addNode(std::uint32_t id, const Properties& properties) {
    const std::string_view media = lookup(properties, "media.class");
    if (!sinkClass(media) && !sourceClass(media)) return {};
    Node node;
    node.isSink = sinkClass(media);
    node.isSource = sourceClass(media);
    const std::string_view serial = lookup(properties, "object.serial");
    node.serial = serial.empty() ? id : number(serial);
    node.name = lookup(properties, "node.name");
    node.description = lookup(properties, "node.description");
    if (node.description.empty()) node.description = node.name;
    node.channels = number(lookup(properties, "audio.channels"));
    node.rate = number(lookup(properties, "audio.rate"));
    if (node.name.empty()) return {};
    ModelChanges changes;
    if (const auto old = nodes_.find(id); old != nodes_.end()) {
        node.formatChannels = old->second.formatChannels;
        node.formatRate = old->second.formatRate;
        if (old->second.serial != node.serial || old->second.name != node.name)
            changes |= unpublish(old->second);
    }
    changes |= publish(nodes_[id] = std::move(node));
    return changes;
}

ModelChanges GraphModel::nodeFormat(std::uint32_t id, std::uint32_t channels, std::uint32_t rate) {
    const auto found = nodes_.find(id);
    if (found == nodes_.end()) return {};
    found->second.formatChannels = channels;
    found->second.formatRate = rate;
    return publish(found->second);
}

ModelChanges GraphModel::removeNode(std::uint32_t id) {
    const auto found = nodes_.find(id);
    if (found == nodes_.end()) return {};
    const ModelChanges changes = unpublish(found->second);
    nodes_.erase(found);
    return changes;
}

bool GraphModel::needsFormat(std::uint32_t id) const {
    const auto found = nodes_.find(id);
    return found != nodes_.end() && (found->second.channels == 0 || found->second.rate == 0);
}

ModelChanges GraphModel::publish(const Node& node) {
    DeviceInfo device;
    device.index = node.serial;
    device.name = node.name;
    device.description = node.description;
    device.channels = node.channels != 0 ? node.channels : node.formatChannels != 0 ? node.formatChannels : 2;
    device.rate = node.rate != 0 ? node.rate : node.formatRate != 0 ? node.formatRate : clockRate_;
    ModelChanges changes;
    if (node.isSink) {
        DeviceInfo sink = device;
        sink.isSink = true;
        if (!node.isSource) sink.monitorSource = node.name + ".monitor";  // a duplex node has no monitor
        changes |= model_.put(std::move(sink));
        // A sink's monitor shares its number, as the pulse server gives it (sources are counted apart).
        DeviceInfo monitor = device;
        monitor.name = node.name + ".monitor";
        monitor.description = "Monitor of " + node.description;
        monitor.monitorOf = node.name;
        if (!node.isSource) changes |= model_.put(std::move(monitor));
    }
    if (node.isSource) changes |= model_.put(std::move(device));
    return changes;
}

ModelChanges GraphModel::unpublish(const Node& node) {
    ModelChanges changes;
    if (node.isSink) changes |= model_.remove(true, node.serial);
    if (node.isSink || node.isSource) changes |= model_.remove(false, node.serial);
    return changes;
}

ModelChanges GraphModel::defaultsProperty(const char* key, const char* value) {
    if (key == nullptr) {
        defaultSink_.clear();
        defaultSource_.clear();
        return publishDefaults();
    }
    std::string* target = nullptr;
    if (std::strcmp(key, "default.audio.sink") == 0) target = &defaultSink_;
    if (std::strcmp(key, "default.audio.source") == 0) target = &defaultSource_;
    if (target == nullptr) return {};
    *target = value == nullptr ? std::string{} : defaultName(value).value_or(std::string{});
    return publishDefaults();
}

ModelChanges GraphModel::defaultsGone() {
    return defaultsProperty(nullptr, nullptr);
}

ModelChanges GraphModel::publishDefaults() {
    return model_.setDefaults({defaultSink_, defaultSource_});
}

ModelChanges GraphModel::settingsProperty(const char* key, const char* value) {
    if (key == nullptr || std::strcmp(key, "clock.rate") != 0 || value == nullptr) return {};
    const std::uint32_t rate = number(value);
    if (rate == 0 || rate == clockRate_) return {};
    clockRate_ = rate;
    ModelChanges changes;
    for (const auto& [id, node] : nodes_)
        if (node.rate == 0 && node.formatRate == 0) changes |= publish(node);
    return changes;
}

}  // namespace lumvar::audio::pipewire
