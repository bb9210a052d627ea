// The real helper with a parent that falls behind, stops reading, floods its input or signals at
// awkward moments. Durations are measured and printed; only liveness is asserted, with room to spare.
#include <csignal>
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

using Clock = std::chrono::steady_clock;

constexpr double kSamplesPerSecond = 48000.0 * 2;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads standard output for `seconds`; returns how many bytes came.
std::size_t readFor(ChildProcess& helper, double seconds) {
    std::size_t bytes = 0;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) bytes += helper.readStdout(1 << 20, 50ms).size();
    return bytes;
}

// A helper streaming while a tone plays into the default sink, read from a known moment on.
struct Streaming {
    ChildProcess helper = spawnHelper();
    std::optional<Playback> tone;
    Clock::time_point firstRead;

    explicit Streaming(double toneSeconds) {
        waitUntilStreaming(helper);
        tone.emplace("lumvar_out", stereoTone(440.0, toneSeconds, 1.0f));
        helper.readStdout(8, 5s);
        helper.discardStdout();
        firstRead = Clock::now();
    }
};

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(SlowParentE2E, ASixSecondStallLosesNoSampleAndCommandsAreServedMeanwhile) {
    Streaming run(12.0);
    std::size_t bytes = readFor(run.helper, 1.0);
    run.helper.pauseStdout(true);
    const auto paused = Clock::now();
    std::this_thread::sleep_for(1s);
    const auto asked = Clock::now();
    run.helper.write("LIST\nlist-done\n");  // the unknown command marks the end of the answer
    EXPECT_EQ(occurrences(run.helper.waitForStderr("unknown cmd: list-done\n", 5s), "@DEVICES "), 2u)
        << "LIST unanswered while standard output is not read";
    std::cout << "LIST answered during the stall in " << secondsSince(asked) * 1000 << " ms\n";
    std::this_thread::sleep_until(paused + 6s);
    run.helper.pauseStdout(false);
    bytes += readFor(run.helper, 2.0);

    const double expected = secondsSince(run.firstRead) * kSamplesPerSecond;
    const double received = static_cast<double>(bytes) / sizeof(float);
    std::cout << "received " << received / expected * 100 << " % of the samples of " << expected / kSamplesPerSecond
              << " s\n";
    EXPECT_GT(received, expected * 0.97);
    EXPECT_EQ(run.helper.stderrSoFar().find("output backlog"), std::string::npos);
    run.helper.signal(SIGTERM);
    EXPECT_EQ(run.helper.waitForExit(5s), 0);
}

TEST(SlowParentE2E, SigtermDuringAStallStillDeliversEverythingCapturedBeforeIt) {
    Streaming run(5.0);
    std::size_t bytes = readFor(run.helper, 1.0);
    run.helper.pauseStdout(true);
    std::this_thread::sleep_for(2s);
    const double expected = secondsSince(run.firstRead) * kSamplesPerSecond;
    run.helper.signal(SIGTERM);
    run.helper.pauseStdout(false);
    EXPECT_EQ(run.helper.waitForExit(5s), 0);
    bytes += run.helper.readStdout(1 << 30, 1s).size();  // to the end of the stream
    const double received = static_cast<double>(bytes) / sizeof(float);
    std::cout << "received " << received / expected * 100 << " % of the samples captured before SIGTERM\n";
    EXPECT_GT(received, expected * 0.97);
    EXPECT_EQ(bytes % 8, 0u);
}

TEST(SlowParentE2E, SigtermEndsTheProcessWhateverTheParentLeavesUnread) {
    {  // Standard output never read again: the drain gives up after 1 s and the exit is clean.
        Streaming run(4.5);
        run.helper.pauseStdout(true);
        std::this_thread::sleep_for(3s);
        const auto signalled = Clock::now();
        run.helper.signal(SIGTERM);
        EXPECT_EQ(run.helper.waitForExit(5s), 0);
        std::cout << "SIGTERM to exit with stdout unread: " << secondsSince(signalled) * 1000 << " ms\n";
    }
    {  // Neither output read, and the main queue stuck writing a status line: the deadline ends it.
        ChildProcess helper = spawnHelper();
        waitUntilStreaming(helper);
        helper.pauseStdout(true);
        helper.pauseStderr(true);
        std::string nonsense;
        for (int i = 0; i < 5000; ++i) nonsense += "nonsense\n";  // more replies than its pipe holds
        helper.write(nonsense);
        std::this_thread::sleep_for(500ms);
        const auto signalled = Clock::now();
        helper.signal(SIGTERM);
        EXPECT_EQ(helper.waitForExit(5s), std::nullopt);
        EXPECT_EQ(helper.deathSignal(), SIGTERM);
        std::cout << "SIGTERM to death with both outputs unread: " << secondsSince(signalled) * 1000 << " ms\n";
    }
}

TEST(SlowParentE2E, AStallLongerThanTheBacklogDropsWholeBuffersAndSaysSoOnce) {
    Streaming run(15.0);
    std::size_t bytes = readFor(run.helper, 0.5);
    run.helper.pauseStdout(true);
    std::this_thread::sleep_for(10500ms);  // the ring holds 8.2 s, the pipe 0.17 s more
    run.helper.pauseStdout(false);
    const std::string line = "  ! output backlog: dropped ";
    const std::string text = run.helper.waitForStderr(line, 5s);
    bytes += readFor(run.helper, 1.0);
    run.helper.signal(SIGTERM);
    EXPECT_EQ(run.helper.waitForExit(5s), 0);
    bytes += run.helper.readStdout(1 << 30, 1s).size();

    const std::string all = run.helper.stderrSoFar();
    ASSERT_EQ(occurrences(all, line), 1u) << all;
    const std::size_t at = all.find(line) + line.size();
    const std::uint64_t dropped = std::stoull(all.substr(at));
    EXPECT_EQ(all.substr(all.find(' ', at), 30), " samples - parent not reading\n");
    std::cout << "dropped " << dropped / kSamplesPerSecond << " s of audio\n";
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(dropped % 2, 0u);  // whole frames
    EXPECT_EQ(bytes % 8, 0u);
}

TEST(SlowParentE2E, ASignalDuringAStartUpThatHangsEndsTheProcessAtOnce) {
    for (const int signal : {SIGTERM, SIGINT}) {
        MuteServer mute;
        ChildProcess helper = spawnHelper({.arguments = {}, .environment = {"PULSE_SERVER=unix:" + mute.path}});
        std::this_thread::sleep_for(500ms);  // connecting: the server never answers
        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(3s), std::nullopt);
        EXPECT_EQ(helper.deathSignal(), signal);
        EXPECT_EQ(helper.stderrSoFar(), "");
    }
}

std::size_t statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1));
    return 0;
}

TEST(SlowParentE2E, FloodsOnStandardInputLeaveMemoryFlat) {
    // AddressSanitizer would keep freed memory in quarantine; this test is about what the process keeps.
    ChildProcess helper = spawnHelper({.arguments = {}, .environment = {"ASAN_OPTIONS=quarantine_size_mb=0"}});
    waitUntilStreaming(helper);
    const std::size_t before = statusKiB(helper.pid(), "VmRSS");

    helper.write(std::string(50u << 20, 'x') + "\n");
    helper.waitForStderr("  x command too long (52428800 bytes) - ignored\n", 30s);
    std::string lines;
    for (int i = 0; i < 1'000'000; ++i) lines += "nop\n";
    helper.write(lines + "end-of-flood\n");
    const std::string text = helper.waitForStderr("unknown cmd: end-of-flood\n", 100s);
    const std::size_t peak = statusKiB(helper.pid(), "VmHWM");
    std::cout << "resident before " << before / 1024.0 << " MiB, peak after the floods " << peak / 1024.0 << " MiB\n";
    EXPECT_EQ(occurrences(text, "unknown cmd: nop\n"), 1'000'000u);  // every command kept, none lost
#if defined(__SANITIZE_THREAD__)
    constexpr std::size_t kSlackKiB = 32 * 1024;  // the race detector's own bookkeeping grows with the work
#else
    constexpr std::size_t kSlackKiB = 8 * 1024;  // keeping every line would take well over 100 MiB
#endif
    EXPECT_LT(peak, before + kSlackKiB);
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

}  // namespace lumvar::testing
