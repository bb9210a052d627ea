#include "audio/server/server_model.h"

namespace lumvar::audio::server {

ModelChanges& ModelChanges::operator|=(const ModelChanges& other) {
    deviceList |= other.deviceList;
    removed |= other.removed;
    defaultSink |= other.defaultSink;
    defaultSource |= other.defaultSource;
    return *this;
}

void ServerModel::clear() {
    sinks_.clear();
    sources_.clear();
    defaults_ = {};
}

ModelChanges ServerModel::put(DeviceInfo device) {
    if (!text_.wellFormed(device.name)) return {};
    device.description = text_.sanitize(device.description);
    Table& devices = table(device.isSink);
    const auto [at, added] = devices.insert_or_assign(device.index, std::move(device));
    (void)at;
    return {.deviceList = added};
}

ModelChanges ServerModel::remove(bool isSink, std::uint32_t index) {
    const bool removed = table(isSink).erase(index) > 0;
    return {.deviceList = removed, .removed = removed};
}

ModelChanges ServerModel::setDefaults(Defaults defaults) {
    const ModelChanges changes{.defaultSink = defaults.sink != defaults_.sink,
                               .defaultSource = defaults.source != defaults_.source};
    defaults_ = std::move(defaults);
    return changes;
}

std::vector<const DeviceInfo*> ServerModel::devices() const {
    std::vector<const DeviceInfo*> all;
    all.reserve(sinks_.size() + sources_.size());
    for (const Table* table : {&sinks_, &sources_})
        for (const auto& [index, device] : *table)
            if (find(device.isSink, device.name) == &device) all.push_back(&device);  // one per name
    return all;
}

const DeviceInfo* ServerModel::find(bool isSink, std::string_view name) const {
    for (const auto& [index, device] : isSink ? sinks_ : sources_)
        if (device.name == name) return &device;
    return nullptr;
}

}  // namespace lumvar::audio::server
