// What only PipeWire's pulse server can show: the native backend and the pulse server's path must show a
// parent the same machine, the same devices, UIDs, names and channel counts, each device opened in the
// same format (the pulse path's figures are the pulse server's own report of each node). Runs once, in
// the pipewire-pulse mode.
#include <regex>

#include "e2e/e2e_support.h"

namespace lumvar::testing {
namespace {

// What a helper writes when it starts and then opens every device it lists as an input, without the
// lines that carry times or buffer sizes (which differ from run to run).
std::string openEveryDevice(const std::string& pipewireRemote) {
    ChildProcess helper(LUMVAR_HELPER_PATH,
                        {.arguments = {}, .environment = {"PIPEWIRE_REMOTE=" + pipewireRemote}});
    const std::string started = waitUntilStreaming(helper);
    const std::size_t list = started.find("@DEVICES ");
    if (list == std::string::npos) return "no device list";
    const auto devices =
        nlohmann::json::parse(started.substr(list + 9, started.find('\n', list) - list - 9), nullptr, false);
    for (const auto& device : devices) {
        const std::string uid = device.value("uid", "");
        helper.write("INPUT " + uid + "\n");
        helper.waitForStderr("  > input capture started: " + uid + "\n", 5s);
        helper.waitForStderr("  input device rate: ", 2s);
    }
    helper.signal(SIGTERM);
    helper.waitForExit(5s);
    static const std::regex timed("  (segment|IOProc|  buf\\[)[^\n]*\n");
    return std::regex_replace(helper.stderrSoFar(), timed, "");
}

}  // namespace

TEST(PulseServerE2E, PipeWireNativelyAndThroughItsPulseServerShowTheSameDevices) {
    // Devices beyond the suite's own: more channels, another rate, a mono source.
    Module wide(
        "module-null-sink sink_name=lumvar_parity6 format=float32le rate=96000 channels=6 "
        "sink_properties=device.description=Parity-Six");
    Module mono("module-remap-source source_name=lumvar_parity1 master=lumvar_44k.monitor channels=1");
    ASSERT_FALSE(wide.id.empty());
    ASSERT_FALSE(mono.id.empty());
    const std::string native = openEveryDevice(soundDir() + "/runtime/pipewire-0");
    const std::string pulse = openEveryDevice(soundDir() + "/no-pipewire");
    EXPECT_NE(native.find("\"uid\":\"lumvar_parity6.monitor\",\"name\":\"Monitor of Parity-Six\",\"ch\":6"),
              std::string::npos)
        << native;
    EXPECT_NE(native.find("input device rate: 96000.0"), std::string::npos);
    EXPECT_EQ(native, pulse);
}

}  // namespace lumvar::testing
