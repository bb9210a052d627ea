// The helper as a whole process: spawned, steered over its standard streams, signalled and orphaned.
#include <gtest/gtest.h>

#include <csignal>

#include "support/child_process.h"

namespace lumvar::testing {

using namespace std::chrono_literals;

const std::string kBanner = "  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n";
const std::string kStartup = "  output device channels: 2, level correction x1.0\n"
                             "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 0)\n"
                             "  rates: output=48000.0 aggregate=48000.0\n"
                             "  tap format: rate=48000.0 ch=2 bytesPerFrame=8 framesPerPacket=1 flags=9\n"
                             "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n" +
                             kBanner;

// Standard error without the callback's one-time layout diagnostic, whose place depends on timing.
std::string statusLines(const std::string& text) {
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string_view line(text.data() + start, end - start);
        if (!line.starts_with("  IOProc#1: ") && !line.starts_with("    buf[")) kept.append(line);
        start = end;
    }
    return kept;
}

ChildProcess spawnHelper(ChildProcess::Options options = {}) { return ChildProcess(LUMVAR_FIXTURE_PATH, options); }

TEST(HelperProcess, StartsStreamsAndEndsCleanlyOnEitherSignal) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        ChildProcess helper = spawnHelper();
        EXPECT_EQ(statusLines(helper.waitForStderr(kBanner, 5s)), kStartup);
        EXPECT_GE(helper.readStdout(4096, 5s).size(), 4096u);  // samples flow

        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(5s), 0);
        EXPECT_EQ(statusLines(helper.stderrSoFar()), kStartup);  // nothing written on the way out
    }
}

TEST(HelperProcess, FailedFirstBuildExitsWithOne) {
    ChildProcess helper = spawnHelper({.arguments = {}, .environment = {"LUMVAR_FIXTURE_FAIL_BUILD=1"}});
    EXPECT_EQ(helper.waitForExit(5s), 1);
    EXPECT_EQ(helper.stderrSoFar(), "  output device channels: 2, level correction x1.0\n"
                                    "  x create tap failed: -1\n"
                                    "initial tap build failed\n");
}

TEST(HelperProcess, CommandsSentBeforeStartUpEndedRunInOrder) {
    ChildProcess helper = spawnHelper();
    helper.write("bogus one\nINPUT mic\r\nlist\nSYSTEM\n");
    const std::string all = helper.waitForStderr("  > system tap started\n", 5s);
    const std::size_t banner = all.find(kBanner);
    ASSERT_NE(banner, std::string::npos);
    const std::string after = all.substr(banner + kBanner.size());
    const std::size_t unknown = after.find("unknown cmd: bogus one\n");
    const std::size_t input = after.find("  > input capture started: mic\n");
    const std::size_t list = after.find("@DEVICES ");
    const std::size_t system = after.find("  > system tap started\n");
    EXPECT_LT(unknown, input);
    EXPECT_LT(input, list);
    EXPECT_LT(list, system);
    EXPECT_NE(system, std::string::npos);

    helper.closeStdin();  // the end of input changes nothing: it keeps streaming
    EXPECT_GE(helper.readStdout(8192, 5s).size(), 8192u);
    EXPECT_EQ(helper.waitForExit(100ms), std::nullopt);
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

TEST(HelperProcess, EndsWhenItsParentIsGone) {
    ChildProcess helper = spawnHelper({.arguments = {}, .environment = {}, .orphan = true});
    helper.waitForStderr(kBanner, 5s);
    helper.endParent();
    // The watchdog looks every 2 s; allow it two periods and some slack.
    EXPECT_EQ(helper.waitForExit(6s), 0);
    EXPECT_EQ(statusLines(helper.stderrSoFar()), kStartup);
}

TEST(HelperProcess, EndsWhenTheReaderOfItsOutputIsGone) {
    ChildProcess helper = spawnHelper();
    helper.waitForStderr(kBanner, 5s);
    helper.closeStdout();
    EXPECT_EQ(helper.waitForExit(5s), 0);
    EXPECT_EQ(statusLines(helper.stderrSoFar()), kStartup);
}

}  // namespace lumvar::testing
