// The real helper with a standard output that is non-blocking or that fails: the first is waited on
// and loses nothing, the second is reported and ends the helper with status 2.
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

TEST(OutputErrorsE2E, ANonBlockingOutputWithAPauseLosesNothing) {
    ChildProcess helper(LUMVAR_HELPER_PATH, {.arguments = {}, .environment = {}, .nonBlockingStdout = true});
    waitUntilStreaming(helper);
    Playback tone("lumvar_out", stereoTone(440.0, 6.0, 1.0f));
    helper.readStdout(8, 5s);
    helper.discardStdout();
    const auto firstRead = Clock::now();
    std::size_t bytes = readFor(helper, 1.0);
    helper.pauseStdout(true);
    std::this_thread::sleep_for(1s);  // the pipe fills: EAGAIN for the writer
    helper.pauseStdout(false);
    bytes += readFor(helper, 2.0);
    const double received = static_cast<double>(bytes) / sizeof(float) / (msSince(firstRead) * 96.0);
    std::cout << "received " << received * 100 << " % around a 1 s pause of a non-blocking output\n";
    EXPECT_GT(received, 0.97);
    const std::string text = helper.stderrSoFar();
    EXPECT_EQ(text.find("output write error"), std::string::npos) << text;
    EXPECT_EQ(text.find("output backlog"), std::string::npos) << text;
    endWithSigterm(helper);
}

TEST(OutputErrorsE2E, AFullDeviceAsOutputIsReportedAndEndsWithStatusTwo) {
    // The shell hands the helper /dev/full as its standard output: every write gives ENOSPC.
    ChildProcess helper(
        "/bin/sh", {.arguments = {"-c", "exec \"$0\" >/dev/full", LUMVAR_HELPER_PATH}, .environment = {}});
    const std::string line = "  x output write error (ENOSPC) - ending\n";
    const auto started = Clock::now();
    const std::string text = helper.waitForStderr(line, 10s);
    EXPECT_EQ(helper.waitForExit(5s), 2);
    std::cout << "start to exit with a full output: " << msSince(started) << " ms\n";
    EXPECT_EQ(occurrences(text, line), 1u) << text;
    const std::string all = helper.stderrSoFar();
    EXPECT_EQ(all.substr(all.size() - line.size()), line);  // the last line: nothing runs after it
}

}  // namespace lumvar::testing
