#include "audio/server/server_model.h"

#include <gtest/gtest.h>

namespace lumvar::audio::server {
namespace {

DeviceInfo sink(std::uint32_t index, std::string name, std::string description = "Sink") {
    return {true, index, std::move(name), std::move(description), 2, 48000, "", ""};
}
DeviceInfo source(std::uint32_t index, std::string name) {
    return {false, index, std::move(name), "Source", 1, 44100, "", ""};
}

std::vector<std::string> names(const ServerModel& model) {
    std::vector<std::string> all;
    for (const DeviceInfo* device : model.devices()) all.push_back(device->name);
    return all;
}

TEST(ServerModel, ReplaysTheServersEventsIntoWhatTheListenersAreTold) {
    ServerModel model(platformText());
    EXPECT_TRUE(model.put(source(3, "mic")).deviceList);
    EXPECT_TRUE(model.put(sink(7, "hdmi")).deviceList);
    EXPECT_TRUE(model.put(sink(2, "speakers")).deviceList);
    EXPECT_EQ(names(model),
              (std::vector<std::string>{"speakers", "hdmi", "mic"}));   // sinks, then sources, by index
    const ModelChanges renamed = model.put(sink(7, "hdmi", "HDMI 2"));  // a change, not a new device
    EXPECT_FALSE(renamed.deviceList);
    EXPECT_EQ(model.find(true, "hdmi")->description, "HDMI 2");
    EXPECT_EQ(model.find(false, "hdmi"), nullptr);  // sinks and sources are apart
    const ModelChanges defaults = model.setDefaults({"hdmi", "mic"});
    EXPECT_TRUE(defaults.defaultSink && defaults.defaultSource);
    const ModelChanges again = model.setDefaults({"speakers", "mic"});
    EXPECT_TRUE(again.defaultSink);
    EXPECT_FALSE(again.defaultSource);
    const ModelChanges gone = model.remove(true, 7);
    EXPECT_TRUE(gone.deviceList && gone.removed);
    EXPECT_FALSE(model.remove(true, 7).deviceList);  // told twice: nothing more went
    EXPECT_EQ(names(model), (std::vector<std::string>{"speakers", "mic"}));
}

TEST(ServerModel, TextThatIsNotUtf8IsRepairedOrLeftOut) {
    ServerModel model(platformText());
    model.put(sink(1, "good", "Desk \xff Speakers"));
    model.put(sink(2, "bad\xfe", "Fine"));
    ASSERT_EQ(names(model), std::vector<std::string>{"good"});
    EXPECT_EQ(model.find(true, "good")->description, "Desk \xef\xbf\xbd Speakers");
}

}  // namespace
}  // namespace lumvar::audio::server
