// The real helper with a parent that falls behind, stops reading, floods its input or signals at
// awkward moments. Durations are measured and printed; only liveness is asserted, with room to spare.
#include <csignal>
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

constexpr double kSamplesPerMs = 48.0 * 2;

// A helper streaming while a tone plays into the default sink, read from a known moment on.
struct Streaming {
    ChildProcess helper = streamingHelper();
    std::optional<Playback> tone;
    Clock::time_point firstRead;
    std::size_t bytes = 0;
    explicit Streaming(double toneSeconds) {
        tone.emplace("lumvar_out", stereoTone(440.0, toneSeconds, 1.0f));
        helper.readStdout(8, 5s);
        helper.discardStdout();
        firstRead = Clock::now();
    }
    // What came, as a share of what was captured since the first read.
    double received() const {
        return static_cast<double>(bytes) / sizeof(float) / (msSince(firstRead) * kSamplesPerMs);
    }
};

TEST(SlowParentE2E, AStallWithinTheBacklogLosesNothingALongerOneSaysWhatItDroppedOnce) {
    Streaming run(22.0);
    run.bytes += readFor(run.helper, 1.0);
    run.helper.pauseStdout(true);
    const auto asked = Clock::now();
    run.helper.write("LIST\nlist-done\n");  // the unknown command marks the end of the answer
    EXPECT_EQ(occurrences(run.helper.waitForStderr("unknown cmd: list-done\n", 5s), "@DEVICES "), 2u);
    std::cout << "LIST answered during a stall in " << msSince(asked) << " ms\n";
    std::this_thread::sleep_until(asked + 6s);
    run.helper.pauseStdout(false);
    run.bytes += readFor(run.helper, 2.0);
    std::cout << "received " << run.received() * 100 << " % after a 6 s stall\n";
    EXPECT_GT(run.received(), 0.97);
    EXPECT_EQ(run.helper.stderrSoFar().find("output backlog"), std::string::npos);
    run.helper.pauseStdout(true);
    std::this_thread::sleep_for(10500ms);  // the ring holds 8.2 s, the pipe 0.17 s more
    run.helper.pauseStdout(false);
    const std::string line = "  ! output backlog: dropped ";
    run.helper.waitForStderr(line, 5s);
    run.bytes += readFor(run.helper, 1.0);
    run.helper.signal(SIGTERM);
    EXPECT_EQ(run.helper.waitForExit(5s), 0);
    run.bytes += run.helper.readStdout(1 << 30, 1s).size();
    const std::string all = run.helper.stderrSoFar();
    ASSERT_EQ(occurrences(all, line), 1u) << all;
    const std::string rest = all.substr(all.find(line) + line.size());
    const std::uint64_t dropped = std::stoull(rest);
    EXPECT_EQ(rest.substr(rest.find(' '), 30), " samples - parent not reading\n");
    std::cout << "dropped " << dropped / kSamplesPerMs << " ms of a 10.5 s stall\n";
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(dropped % 2, 0u);  // whole frames
    EXPECT_EQ(run.bytes % 8, 0u);
}

TEST(SlowParentE2E, SigtermDuringAStallDrainsWhatWasCapturedAndEndsEvenIfNothingIsRead) {
    for (const bool readsAgain : {true, false}) {
        Streaming run(5.0);
        run.bytes += readFor(run.helper, 1.0);
        run.helper.pauseStdout(true);
        std::this_thread::sleep_for(2s);
        const auto signalled = Clock::now();
        const double captured = msSince(run.firstRead) * kSamplesPerMs;
        run.helper.signal(SIGTERM);
        run.helper.pauseStdout(!readsAgain);
        EXPECT_EQ(run.helper.waitForExit(5s), 0);
        std::cout << "SIGTERM to exit, " << (readsAgain ? "reading again: " : "never read: ")
                  << msSince(signalled) << " ms\n";
        if (!readsAgain) continue;
        run.bytes += run.helper.readStdout(1 << 30, 1s).size();  // to the end of the stream
        EXPECT_GT(static_cast<double>(run.bytes) / sizeof(float), captured * 0.97);
        EXPECT_EQ(run.bytes % 8, 0u);
    }
}

TEST(SlowParentE2E, AnUnreadStandardErrorBlocksNothingAndWhatHangsGetsADeadline) {
    {
        ChildProcess unread = streamingHelper();
        unread.pauseStdout(true);
        unread.pauseStderr(true);
        std::string nonsense;
        for (int i = 0; i < 5000; ++i) nonsense += "nonsense\n";  // more replies than their pipe holds
        unread.write(nonsense);
        std::this_thread::sleep_for(500ms);
        const auto signalled = Clock::now();
        unread.signal(SIGTERM);
        EXPECT_EQ(unread.waitForExit(5s), 0);  // the main queue never waited on standard error
        std::cout << "SIGTERM to exit with neither pipe read: " << msSince(signalled) << " ms\n";
    }
    ChildProcess stuck = streamingHelper();
    ServerPause hung;  // the next request waits on a server that does not answer
    stuck.write("LIST\n");
    std::this_thread::sleep_for(200ms);
    const auto signalled = Clock::now();
    stuck.signal(SIGTERM);
    EXPECT_EQ(stuck.waitForExit(5s), std::nullopt);
    EXPECT_EQ(stuck.deathSignal(), SIGTERM);
    std::cout << "SIGTERM to death with the main queue stuck on the server: " << msSince(signalled)
              << " ms\n";
}

std::size_t statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1));
    return 0;
}

TEST(SlowParentE2E, FloodsOnStandardInputLeaveMemoryFlat) {
    // AddressSanitizer would keep freed memory in quarantine; this test is about what the process keeps.
    ChildProcess helper = ChildProcess(
        LUMVAR_HELPER_PATH, {.arguments = {}, .environment = {"ASAN_OPTIONS=quarantine_size_mb=0"}});
    waitUntilStreaming(helper);
    const std::size_t before = statusKiB(helper.pid(), "VmRSS");
    helper.write(std::string(50u << 20, 'x') + "\n");
    helper.waitForStderr("  x command too long (52428800 bytes) - ignored\n", 30s);
    std::string lines;
    for (int i = 0; i < 1'000'000; ++i) lines += "nop\n";
    helper.write(lines + "end-of-flood\n");
    const std::string text = helper.waitForStderr("unknown cmd: end-of-flood\n", 100s);
    const std::size_t peak = statusKiB(helper.pid(), "VmHWM");
    std::cout << "resident before " << before / 1024.0 << " MiB, peak after the floods " << peak / 1024.0
              << " MiB\n";
    EXPECT_EQ(occurrences(text, "unknown cmd: nop\n"), 1'000'000u);  // every command kept, none lost
#if defined(__SANITIZE_THREAD__)
    constexpr std::size_t kSlackKiB = 32 * 1024;  // the race detector's own bookkeeping grows with the work
#else
    constexpr std::size_t kSlackKiB = 8 * 1024;  // keeping every line would take well over 100 MiB
#endif
    EXPECT_LT(peak, before + kSlackKiB);
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
