#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "audio/server/server_model.h"

namespace lumvar::audio::pipewire {

// A node's properties as the registry announces them, by key.
using Properties = std::map<std::string, std::string, std::less<>>;

// PipeWire's graph, translated into the sinks, sources and defaults the PulseAudio protocol shows for
// it, so that a UID saved on one path works on the other: every audio sink and source node under its
// node.name and node.description, and for each sink its monitor as a source "<node.name>.monitor",
// "Monitor of <description>". Indexes are the objects' serials, as the pulse server numbers them.
// Channels and rate: the node's own properties, else its EnumFormat, else the graph's clock rate.
// The default sink and source are what the "default" metadata says the session uses now.
class GraphModel {
  public:
    explicit GraphModel(const Text& text) : model_(text) {}

    const server::ServerModel& model() const { return model_; }

    // Every answer says what changed for the listeners.
    server::ModelChanges clear();
    // A global that is a node; nodes that carry no audio device are ignored.
    server::ModelChanges addNode(std::uint32_t id, const Properties& properties);
    // The node's first EnumFormat (its preferred channel count and rate; 0 where it names none).
    server::ModelChanges nodeFormat(std::uint32_t id, std::uint32_t channels, std::uint32_t rate);
    server::ModelChanges removeNode(std::uint32_t id);
    // A property of the "default" metadata on the subject 0 (a null key clears them all, a null value
    // one); or of the "settings" metadata.
    server::ModelChanges defaultsProperty(const char* key, const char* value);
    server::ModelChanges settingsProperty(const char* key, const char* value);
    // The "default" metadata itself went away: no defaults are known.
    server::ModelChanges defaultsGone();

    // Whether the node's properties leave out its channels or rate, so its EnumFormat is needed.
    bool needsFormat(std::uint32_t id) const;

  private:
    struct Node {
        bool isSink = false;
        bool isSource = false;
        std::uint32_t serial = 0;
        std::string name;
        std::string description;
        std::uint32_t channels = 0;  // from its properties
        std::uint32_t rate = 0;
        std::uint32_t formatChannels = 0;  // from its EnumFormat
        std::uint32_t formatRate = 0;
    };

    server::ModelChanges publish(const Node& node);
    server::ModelChanges unpublish(const Node& node);
    server::ModelChanges publishDefaults();

    server::ServerModel model_;
    std::map<std::uint32_t, Node> nodes_;  // by global id
    std::uint32_t clockRate_ = 48000;
    std::string defaultSink_;
    std::string defaultSource_;
};

// The "name" of a default's JSON value ({"name": "alsa_output.pci-0000_00_1f.3.analog-stereo"}), or nothing.
std::optional<std::string> defaultName(std::string_view json);

}  // namespace lumvar::audio::pipewire
