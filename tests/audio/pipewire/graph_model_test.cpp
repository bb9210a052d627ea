#include "audio/pipewire/graph_model.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace lumvar::audio::pipewire {
namespace {

// The node globals of the test suite's PipeWire server, as its registry announced them (pw-dump), with
// the driver nodes and the loopbacks' own stream nodes that come with them.
struct Global {
    std::uint32_t id;
    Properties properties;
};
const std::vector<Global> kRecordedNodes = {
    {28, {{"node.name", "Dummy-Driver"}, {"object.serial", "28"}, {"factory.name", "support.node.driver"}}},
    {43,
     {{"media.class", "Audio/Sink"},
      {"node.name", "lumvar_out"},
      {"node.description", "Lumvar-Output"},
      {"object.serial", "44"},
      {"audio.channels", "2"},
      {"audio.rate", "48000"},
      {"audio.position", "FL,FR"}}},
    {44,
     {{"media.class", "Audio/Sink"},
      {"node.name", "lumvar_mic_sink"},
      {"node.description", "Lumvar-Mic-Feed"},
      {"object.serial", "51"},
      {"audio.channels", "2"},
      {"audio.rate", "48000"}}},
    {50,
     {{"media.class", "Audio/Sink"},
      {"node.name", "lumvar_44k"},
      {"node.description", "Lumvar-44k"},
      {"object.serial", "58"},
      {"audio.channels", "2"},
      {"audio.rate", "44100"}}},
    {56,
     {{"media.class", "Audio/Source"},
      {"node.name", "lumvar_mic"},
      {"node.description", "Lumvar-Mic"},
      {"object.serial", "65"},
      {"audio.channels", "2"},
      {"audio.position", "FL,FR"}}},
    {57,
     {{"media.class", "Stream/Input/Audio"},
      {"node.name", "input.lumvar_mic"},
      {"node.description", "Lumvar-Mic"},
      {"object.serial", "66"},
      {"audio.channels", "2"}}},
    {67,
     {{"media.class", "Audio/Source"},
      {"node.name", "lumvar_mono"},
      {"node.description", "Lumvar-Mono"},
      {"object.serial", "77"},
      {"audio.channels", "1"},
      {"audio.position", "MONO"}}},
};

using Row = std::tuple<bool, std::uint32_t, std::string, std::string, std::uint32_t, std::uint32_t>;

std::vector<Row> rows(const GraphModel& graph) {
    std::vector<Row> all;
    for (const server::DeviceInfo* device : graph.model().devices())
        all.emplace_back(device->isSink, device->index, device->name, device->description, device->channels,
                         device->rate);
    return all;
}

GraphModel recordedGraph() {
    GraphModel graph(platformText());
    for (const auto& [id, properties] : kRecordedNodes) graph.addNode(id, properties);
    // The remapped sources name no rate, and their first EnumFormat none either: the graph's rate holds.
    graph.nodeFormat(56, 2, 0);
    graph.nodeFormat(67, 1, 0);
    graph.settingsProperty("clock.rate", "48000");
    graph.defaultsProperty("default.configured.audio.sink", R"({ "name": "lumvar_44k" })");
    graph.defaultsProperty("default.audio.sink", R"({"name":"lumvar_out"})");
    graph.defaultsProperty("default.audio.source", R"({"name":"lumvar_mic"})");
    return graph;
}

TEST(GraphModel, ShowsTheSameDevicesAsThePulseServerOfTheSameGraph) {
    const GraphModel graph = recordedGraph();
    // `pactl list short sinks` / `sources` on that server: index, name, channels and rate; descriptions
    // from `pactl list sinks`.
    EXPECT_EQ(rows(graph), (std::vector<Row>{
                               {true, 44, "lumvar_out", "Lumvar-Output", 2, 48000},
                               {true, 51, "lumvar_mic_sink", "Lumvar-Mic-Feed", 2, 48000},
                               {true, 58, "lumvar_44k", "Lumvar-44k", 2, 44100},
                               {false, 44, "lumvar_out.monitor", "Monitor of Lumvar-Output", 2, 48000},
                               {false, 51, "lumvar_mic_sink.monitor", "Monitor of Lumvar-Mic-Feed", 2, 48000},
                               {false, 58, "lumvar_44k.monitor", "Monitor of Lumvar-44k", 2, 44100},
                               {false, 65, "lumvar_mic", "Lumvar-Mic", 2, 48000},
                               {false, 77, "lumvar_mono", "Lumvar-Mono", 1, 48000},
                           }));
    EXPECT_EQ(graph.model().defaults().sink, "lumvar_out");  // what is in use, not what was configured
    EXPECT_EQ(graph.model().defaults().source, "lumvar_mic");
    const server::DeviceInfo* monitor = graph.model().find(false, "lumvar_out.monitor");
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->monitorOf, "lumvar_out");
    EXPECT_EQ(graph.model().find(true, "lumvar_out")->monitorSource, "lumvar_out.monitor");
    EXPECT_FALSE(graph.needsFormat(43));
    EXPECT_TRUE(graph.needsFormat(67));
}

TEST(GraphModel, TellsTheListenersWhatEachEventChanged) {
    GraphModel graph = recordedGraph();
    // A sink goes: it and its monitor leave together.
    server::ModelChanges gone = graph.removeNode(50);
    EXPECT_TRUE(gone.deviceList && gone.removed);
    EXPECT_EQ(graph.model().find(false, "lumvar_44k.monitor"), nullptr);
    EXPECT_FALSE(graph.removeNode(50).deviceList);  // told twice
    EXPECT_FALSE(graph.removeNode(57).deviceList);  // a stream node was never a device
    // The session moves its default sink; the configured key alone changes nothing.
    EXPECT_FALSE(
        graph.defaultsProperty("default.configured.audio.sink", R"({"name":"lumvar_mic_sink"})").defaultSink);
    const server::ModelChanges moved =
        graph.defaultsProperty("default.audio.sink", R"({"name":"lumvar_mic_sink"})");
    EXPECT_TRUE(moved.defaultSink);
    EXPECT_FALSE(moved.defaultSource);
    EXPECT_TRUE(graph.defaultsProperty("default.audio.sink", nullptr).defaultSink);  // key removed
    EXPECT_EQ(graph.model().defaults().sink, "");
    EXPECT_TRUE(graph.defaultsGone().defaultSource);
    // A node without channels or rate of its own follows its format, then the graph's rate.
    graph.addNode(
        90, {{"media.class", "Audio/Source"}, {"node.name", "alsa_input.usb"}, {"object.serial", "120"}});
    EXPECT_TRUE(graph.needsFormat(90));
    const server::DeviceInfo* usb = graph.model().find(false, "alsa_input.usb");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(std::tuple(usb->channels, usb->rate, usb->description),
              std::tuple(2u, 48000u, std::string("alsa_input.usb")));
    graph.nodeFormat(90, 4, 0);
    EXPECT_EQ(graph.model().find(false, "alsa_input.usb")->channels, 4u);
    graph.settingsProperty("clock.rate", "96000");
    EXPECT_EQ(graph.model().find(false, "alsa_input.usb")->rate, 96000u);
    EXPECT_EQ(graph.model().find(true, "lumvar_out")->rate, 48000u);  // its own rate stays
    graph.nodeFormat(90, 4, 44100);
    EXPECT_EQ(graph.model().find(false, "alsa_input.usb")->rate, 44100u);
    // A duplex node is a sink and a source at once, with no monitor.
    EXPECT_TRUE(
        graph
            .addNode(91, {{"media.class", "Audio/Duplex"}, {"node.name", "duplex"}, {"object.serial", "130"}})
            .deviceList);
    EXPECT_NE(graph.model().find(true, "duplex"), nullptr);
    EXPECT_NE(graph.model().find(false, "duplex"), nullptr);
    EXPECT_EQ(graph.model().find(false, "duplex.monitor"), nullptr);
    EXPECT_TRUE(graph.removeNode(91).removed);
    EXPECT_EQ(graph.model().find(false, "duplex"), nullptr);
}

TEST(GraphModel, ReadsTheNameOfADefaultFromItsJson) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"name":"lumvar_out"})", "lumvar_out"},
        {R"({ "other": [1, {"name": "no"}], "name": "a\"b" })", "a\"b"},
        {R"({"name":"Caf\u00e9"})", "Caf\xc3\xa9"},
        {R"({})", std::nullopt},
        {"lumvar_out", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [json, name] : cases) EXPECT_EQ(defaultName(json), name) << json;
}

}  // namespace
}  // namespace lumvar::audio::pipewire
