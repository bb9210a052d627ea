// What the native PipeWire backend reads from the graph: its devices, and where each buffer lies in time.
#include "audio/pipewire/graph_model.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "audio/pipewire/cycle_clock.h"

namespace lumvar::audio::pipewire {
namespace {

// A node's properties as the registry announces them; those left empty are absent.
Properties node(std::string media, std::string name, std::string description, std::string serial,
                std::string channels = "", std::string rate = "") {
    Properties all{{"media.class", media},    {"node.name", name},          {"node.description", description},
                   {"object.serial", serial}, {"audio.channels", channels}, {"audio.rate", rate}};
    std::erase_if(all, [](const auto& property) { return property.second.empty(); });
    return all;
}

// Part of the suite's PipeWire server as its registry announced it (pw-dump), with a loopback's stream node;
// that they are shown as the pulse server shows them PulseServerE2E holds against the real server.
TEST(GraphModel, TellsWhatEachEventChangedAndFollowsANodesFormatThenTheGraphsRate) {
    GraphModel graph(platformText());
    graph.addNode(43, node("Audio/Sink", "lumvar_out", "Lumvar-Output", "44", "2", "48000"));
    graph.addNode(50, node("Audio/Sink", "lumvar_44k", "Lumvar-44k", "58", "2", "44100"));
    graph.addNode(56, node("Audio/Source", "lumvar_mic", "Lumvar-Mic", "65", "2"));
    graph.addNode(57, node("Stream/Input/Audio", "input.lumvar_mic", "Lumvar-Mic", "66", "2"));
    graph.addNode(67, node("Audio/Source", "lumvar_mono", "Lumvar-Mono", "77", "1"));
    graph.defaultsProperty("default.configured.audio.sink", R"({ "name": "lumvar_44k" })");
    graph.defaultsProperty("default.audio.sink", R"({"name":"lumvar_out"})");
    graph.defaultsProperty("default.audio.source", R"({"name":"lumvar_mic"})");
    const server::ServerModel& model = graph.model();
    EXPECT_EQ(model.defaults().sink + " " + model.defaults().source, "lumvar_out lumvar_mic");
    EXPECT_EQ(model.find(false, "lumvar_out.monitor")->monitorOf, "lumvar_out");
    EXPECT_EQ(model.find(true, "lumvar_out")->monitorSource, "lumvar_out.monitor");
    EXPECT_EQ(model.find(false, "lumvar_out"), nullptr);  // a sink is no source: its monitor is
    EXPECT_TRUE(!graph.needsFormat(43) && graph.needsFormat(67));
    // A sink goes: it and its monitor leave together.
    const server::ModelChanges gone = graph.removeNode(50);
    EXPECT_TRUE(gone.deviceList && gone.removed && !model.find(false, "lumvar_44k.monitor"));
    // Told twice, or of a stream node, which was never a device: nothing.
    EXPECT_FALSE(graph.removeNode(50).deviceList || graph.removeNode(57).deviceList);
    // The session moves its default sink; the configured key alone changes nothing.
    EXPECT_FALSE(graph.defaultsProperty("default.configured.audio.sink", R"({"name":"hdmi"})").defaultSink);
    const server::ModelChanges moved = graph.defaultsProperty("default.audio.sink", R"({"name":"hdmi"})");
    EXPECT_TRUE(moved.defaultSink && !moved.defaultSource);
    EXPECT_TRUE(graph.defaultsProperty("default.audio.sink", nullptr).defaultSink);  // key removed
    EXPECT_EQ(model.defaults().sink, "");
    EXPECT_TRUE(graph.defaultsGone().defaultSource);
    // A node without channels, rate or description of its own follows its format, then the graph's rate.
    graph.addNode(90, node("Audio/Source", "alsa_input.usb", "", "120"));
    const auto usb = [&] {
        const server::DeviceInfo* d = model.find(false, "alsa_input.usb");
        return std::tuple(d->index, d->description, d->channels, d->rate);
    };
    EXPECT_TRUE(graph.needsFormat(90));
    EXPECT_EQ(usb(), std::tuple(120u, "alsa_input.usb", 2u, 48000u));
    EXPECT_FALSE(graph.nodeFormat(90, 4, 0).deviceList);  // a change, not a new device
    graph.settingsProperty("clock.rate", "96000");
    EXPECT_EQ(usb(), std::tuple(120u, "alsa_input.usb", 4u, 96000u));
    graph.nodeFormat(90, 4, 44100);
    EXPECT_EQ(model.find(false, "alsa_input.usb")->rate, 44100u);
    // A duplex node is a sink and a source at once, with no monitor.
    EXPECT_TRUE(graph.addNode(91, node("Audio/Duplex", "both", "", "130")).deviceList);
    EXPECT_TRUE(model.find(true, "both") && model.find(false, "both") && !model.find(false, "both.monitor"));
    EXPECT_TRUE(graph.removeNode(91).removed && !model.find(false, "both"));
}

TEST(GraphModel, ReadsTheNameOfADefaultFromItsJson) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"name":"lumvar_out"})", "lumvar_out"},
        {R"({ "kind": "name", "other": [1, {"name": "no"}], "name": "a\"b" })", "a\"b"},
        {R"({"name":"Caf\u00e9"})", "Caf\xc3\xa9"},
        {R"({})", std::nullopt},
        {"lumvar_out", std::nullopt},
        {"", std::nullopt}};
    for (const auto& [json, name] : cases) EXPECT_EQ(defaultName(json), name) << json;
}

// A graph at 48 kHz: one tick is one of its frames, and tick 0 was at 1 s (`stood` nanoseconds later for
// a graph that stood still that long).
CycleReport at(std::uint64_t ticks, std::int64_t delay = 0, std::uint64_t buffered = 0,
               std::int64_t stood = 0) {
    const std::int64_t now = 1'000'000'000 + stood + static_cast<std::int64_t>(ticks) * 1'000'000'000 / 48000;
    return {
        .now = now, .rateNum = 1, .rateDenom = 48000, .ticks = ticks, .delay = delay, .buffered = buffered};
}

TEST(CycleClock, PlacesEachBufferByTheGraphsReportAndCountsTheCyclesItSkipped) {
    struct Row {
        const char* what;
        // Each buffer: its cycle's report, its frames, and those of the buffers taken after it in the same
        // callback. The last is checked.
        std::vector<std::tuple<CycleReport, std::uint32_t, std::uint32_t>> cycles;
        std::uint64_t position;
        std::optional<std::uint64_t> captured;
        std::uint32_t streamRate = 48000;
    };
    const Row rows[] = {
        {"the first buffer: a quantum before the cycle", {{at(4800), 480, 0}}, 0, 1'090'000'000},
        {"the device's delay and the converter's frames", {{at(4800, 96, 48), 480, 0}}, 0, 1'087'000'000},
        {"the next cycle follows on", {{at(4800), 480, 0}, {at(5280), 480, 0}}, 480, 1'100'000'000},
        {"a little jitter is the same clock", {{at(4800), 480, 0}, {at(5289), 480, 0}}, 480, 1'100'187'500},
        {"a short first buffer is no skip", {{at(4800), 206, 0}, {at(5280), 480, 0}}, 206, 1'100'000'000},
        {"nor a quantum change",
         {{at(4800), 480, 0}, {at(5760), 960, 0}, {at(6240), 480, 0}},
         1440,
         1'120'000'000},
        // known lost at the next buffer, whose report moves on by a whole cycle
        {"two skipped cycles add their frames",
         {{at(4800), 480, 0}, {at(6240), 480, 0}, {at(6720), 480, 0}},
         1920,
         1'130'000'000},
        {"a graph that stood still 37 ms in its first second: a jump of a frame",
         {{at(4800), 480, 0}, {at(5280, 0, 0, 37'000'000), 480, 0}},
         481,
         1'137'000'000},
        {"one that stood still less than 1 ms: none",
         {{at(4800), 480, 0}, {at(5280, 0, 0, 900'000), 480, 0}},
         480,
         1'100'900'000},
        {"the older of two buffers taken in one late callback: a cycle before the report's",
         {{at(4800), 480, 0}, {at(5760), 480, 480}},
         480,
         1'100'000'000},
        {"the newer: no skip",
         {{at(4800), 480, 0}, {at(5760), 480, 480}, {at(5760), 480, 0}},
         960,
         1'110'000'000},
        {"a report a cycle ahead, then one that stood still, skipped none",
         {{at(4800), 480, 0}, {at(5760), 480, 0}, {at(5760), 480, 0}, {at(6240), 480, 0}},
         1440,
         1'120'000'000},
        {"a 44.1 kHz stream counts its own",
         {{at(4800), 441, 0}, {at(6240), 441, 0}, {at(6720), 441, 0}},
         1764,
         1'130'000'000,
         44100},
        {"no clock in the report: no time", {{{}, 480, 0}, {{}, 480, 0}}, 480, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CycleClock clock(row.streamRate);
        CycleStamp stamp;
        for (const auto& [report, frames, newer] : row.cycles) stamp = clock.stamp(report, frames, newer);
        EXPECT_EQ(stamp.position, row.position);
        EXPECT_EQ(stamp.capturedNanos, row.captured);
    }
}

}  // namespace
}  // namespace lumvar::audio::pipewire
