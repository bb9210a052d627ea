#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace lumvar::audio::server {

// A sink or a source as the server describes it.
struct DeviceInfo {
    bool isSink = false;
    std::uint32_t index = 0;
    std::string name;         // the UID
    std::string description;  // the name shown to people
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
    std::string monitorSource;  // sinks only: the source named as the sink's monitor
    std::string monitorOf;      // sources only: the sink whose output this source carries, if it is a monitor
};

struct Defaults {
    std::string sink;
    std::string source;
};

// What one update changed, for the listeners.
struct ModelChanges {
    bool deviceList = false;  // a device came or went
    bool removed = false;     // among them, one went
    bool defaultSink = false;
    bool defaultSource = false;

    ModelChanges& operator|=(const ModelChanges& other);
};

// The server's sinks, sources and defaults as the backend knows them: loaded at connection and kept
// current from the server's change events, so that property reads need not ask the server. Texts are
// repaired as they come in: a description that is not UTF-8 gets U+FFFD, and a device whose name is
// not UTF-8 is left out (its UID could never be selected by its text).
class ServerModel {
  public:
    explicit ServerModel(const Text& text) : text_(text) {}

    void clear();
    ModelChanges put(DeviceInfo device);  // new or changed
    ModelChanges remove(bool isSink, std::uint32_t index);
    ModelChanges setDefaults(Defaults defaults);

    // Every sink, then every source, each in the server's index order. Of two with one name (a graph may
    // hold two nodes of one node.name) only the first is there: a name is a device's UID.
    std::vector<const DeviceInfo*> devices() const;
    const DeviceInfo* find(bool isSink, std::string_view name) const;
    const Defaults& defaults() const { return defaults_; }

  private:
    using Table = std::map<std::uint32_t, DeviceInfo>;  // by the server's index
    Table& table(bool isSink) { return isSink ? sinks_ : sources_; }

    const Text& text_;
    Table sinks_;
    Table sources_;
    Defaults defaults_;
};

}  // namespace lumvar::audio::server
