// What only PipeWire's pulse server can show: the native backend and the pulse server's path must show a
// parent the same machine, the same devices, UIDs, names and channel counts, each device opened in the
// same format (the pulse path's figures are the pulse server's own report of each node).
#include "e2e/e2e_support.h"

namespace lumvar::testing {

// What a helper writes when it starts and then opens every device it lists as an input, without the
// lines that carry times or buffer sizes (which differ from run to run).
std::string openEveryDevice(const std::string& pipewireRemote) {
    ChildProcess helper = streamingHelper({"PIPEWIRE_REMOTE=" + pipewireRemote});
    for (const auto& device : nlohmann::json::parse(lastDeviceList(helper.stderrSoFar()))) {
        helper.write("INPUT " + device.value("uid", "") + "\n");
        helper.waitForStderr("  > input capture started: " + device.value("uid", "") + "\n", 5s);
    }
    endWithSigterm(helper);
    return std::regex_replace(helper.stderrSoFar(), std::regex("  (segment|IOProc|  buf\\[)[^\n]*\n"), "");
}

TEST(PulseServerE2E, PipeWireNativelyAndThroughItsPulseServerShowTheSameDevices) {
    // Devices beyond the suite's own: more channels, another rate, a mono source.
    Module wide(
        "module-null-sink sink_name=lumvar_parity6 format=float32le rate=96000 channels=6 "
        "sink_properties=device.description=Parity-Six");
    Module mono("module-remap-source source_name=lumvar_parity1 master=lumvar_44k.monitor channels=1");
    ASSERT_FALSE(wide.id.empty() || mono.id.empty());
    const std::string native = openEveryDevice(kSoundDir + "/runtime/pipewire-0");
    EXPECT_NE(native.find("\"uid\":\"lumvar_parity6.monitor\",\"name\":\"Monitor of Parity-Six\",\"ch\":6"),
              std::string::npos)
        << native;
    EXPECT_NE(native.find("input device rate: 96000.0"), std::string::npos);
    EXPECT_EQ(native, openEveryDevice(kSoundDir + "/no-pipewire"));
}

}  // namespace lumvar::testing
