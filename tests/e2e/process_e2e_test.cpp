// The real helper as a process: start-up and every way it ends, the command channel, a parent that falls
// behind or floods it, and a standard output that fails. None of it depends on the way the helper reaches
// the server, so it runs in one mode. Durations are printed; only liveness is asserted.
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

// Record streams of ours on the server, from pactl's listing.
int ourStreams() {
    return static_cast<int>(
        occurrences(run("pactl list source-outputs 2>/dev/null"), "application.name = \"lumvar-capture\""));
}

TEST(ProcessE2E, CommandsBeforeStartUpEndedRunInOrderAndEveryEndReleasesTheStream) {
    {
        ChildProcess helper(LUMVAR_HELPER_PATH, {});
        helper.write("bogus one\nINPUT lumvar_mono\r\nlist\nSYSTEM\n");
        helper.closeStdin();
        const std::string all = helper.waitForStderr("  > system tap started\n", 10s);
        std::size_t at = all.find(kBanner);
        for (const char* line : {"unknown cmd: bogus one\n", "  > input capture started: lumvar_mono\n",
                                 "@DEVICES ", "  > system tap started\n"})
            EXPECT_NE(at = all.find(line, at), std::string::npos) << line;
        helper.discardStdout();
        EXPECT_GE(helper.readStdout(8192, 5s).size(), 8192u);  // still streaming with stdin closed
        EXPECT_EQ(ourStreams(), 1);
        const std::string before = helper.stderrSoFar();
        helper.signal(SIGINT);
        EXPECT_EQ(helper.waitForExit(5s), 0);
        EXPECT_EQ(helper.stderrSoFar(), before);  // nothing written on the way out
    }
    ChildProcess orphan(LUMVAR_HELPER_PATH, {.arguments = {}, .environment = {}, .orphan = true});
    waitUntilStreaming(orphan);
    orphan.endParent();
    EXPECT_EQ(orphan.waitForExit(6s), 0);
    ChildProcess unread = streamingHelper();
    unread.closeStdout();
    EXPECT_EQ(unread.waitForExit(6s), 0);  // an idle null sink may take 2 s to deliver the first block
    EXPECT_EQ(ourStreams(), 0);
    // Closed standard input and error are held on /dev/null, not taken by the first socket or pipe the
    // helper opens (which it would then read commands from and write status lines into).
    ChildProcess closed("/bin/sh", {.arguments = {"-c", "exec \"$0\" <&- 2>&-", LUMVAR_HELPER_PATH}});
    ASSERT_EQ(closed.readStdout(8, 5s).size(), 8u);
    for (const int fd : {0, 2}) {
        char target[64] = {};
        ::readlink(("/proc/" + std::to_string(closed.pid()) + "/fd/" + std::to_string(fd)).c_str(), target,
                   63);
        EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
    }
    endWithSigterm(closed);
}

TEST(ProcessE2E, AParentThatWasProcessOneFromTheStartIsNoParentGone) {
    // In a PID namespace of its own the shell is process 1, as a container's init is.
    ChildProcess box("/usr/bin/unshare", {.arguments = {"--pid", "--fork", "/bin/sh", "-c", "\"$0\"; exit $?",
                                                        LUMVAR_HELPER_PATH}});
    waitUntilStreaming(box);
    readFor(box, 4.5);  // two ticks of the watchdog, two looks of the deadline's thread
    EXPECT_EQ(box.readStdout(8, 5s).size(), 8u) << "the helper took process 1 for a parent that has gone";
    const auto childOf = [](pid_t parent) {
        pid_t child = 0;
        std::ifstream("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children") >>
            child;
        return child;
    };
    const pid_t helper = childOf(childOf(box.pid()));
    ASSERT_GT(helper, 0);
    ::kill(helper, SIGTERM);
    EXPECT_EQ(box.waitForExit(5s), 0);
}

TEST(ProcessE2E, NoServerOrOneThatNeverAnswersMeansExitOneAndASignalMeanwhileEndsItAtOnce) {
    MuteServer mute;
    // Neither PipeWire natively nor the pulse protocol: the helper tries both (5 s each when mute).
    for (const std::string& server : std::vector<std::string>{"/nonexistent/native", mute.path}) {
        ChildProcess helper(LUMVAR_HELPER_PATH,
                            {.environment = {"PULSE_SERVER=unix:" + server, "PIPEWIRE_REMOTE=" + server}});
        EXPECT_EQ(helper.waitForExit(15s), 1) << server;
        EXPECT_EQ(helper.stderrSoFar(),
                  "  x get default output failed: 1885564782\ninitial tap build failed\n");
    }
    for (const int signal :
         {SIGTERM, SIGINT}) {  // start-up hangs on the mute server: no clean-up to wait for
        ChildProcess helper(LUMVAR_HELPER_PATH, {.environment = {"PULSE_SERVER=unix:" + mute.path,
                                                                 "PIPEWIRE_REMOTE=" + mute.path}});
        std::this_thread::sleep_for(500ms);
        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(3s), std::nullopt);
        EXPECT_EQ(helper.deathSignal(), signal);
        EXPECT_EQ(helper.stderrSoFar(), "");
    }
}

TEST(ProcessE2E, AStallWithinTheBacklogLosesNothingALongerOneSaysWhatItDroppedOnceAndTheEndDrains) {
    ChildProcess helper = streamingHelper();
    Playback tone("lumvar_out", stereoTone(440.0, 30.0, 1.0f));
    helper.readStdout(8, 5s);
    helper.discardStdout();
    const auto firstRead = Clock::now();
    std::size_t bytes = readFor(helper, 1.0);
    helper.pauseStdout(true);
    const auto asked = Clock::now();
    helper.write("LIST\nlist-done\n");  // the unknown command marks the end of the answer
    EXPECT_EQ(occurrences(helper.waitForStderr("unknown cmd: list-done\n", 5s), "@DEVICES "), 2u);
    std::cout << "LIST answered during a stall in " << msSince(asked) << " ms\n";
    std::this_thread::sleep_until(asked + 6s);
    helper.pauseStdout(false);
    bytes += readFor(helper, 2.0);
    const double received = static_cast<double>(bytes) / 8 / 48 / msSince(firstRead);
    std::cout << "received " << received * 100 << " % after a 6 s stall\n";
    EXPECT_GT(received, 0.97);
    EXPECT_EQ(helper.stderrSoFar().find("output backlog"), std::string::npos);
    helper.pauseStdout(true);
    std::this_thread::sleep_for(10500ms);  // the ring holds 8.2 s, the pipe 0.17 s more
    helper.pauseStdout(false);
    const std::string line = "  ! output backlog: dropped ";
    helper.waitForStderr(line, 5s);
    bytes += readFor(helper, 1.0);
    // A stall that SIGTERM ends: what was captured still comes out, to the end of the stream.
    helper.pauseStdout(true);
    std::this_thread::sleep_for(2s);
    const std::size_t stalled = bytes;
    helper.signal(SIGTERM);
    helper.pauseStdout(false);
    EXPECT_EQ(helper.waitForExit(5s), 0);
    bytes += helper.readStdout(1 << 30, 1s).size();
    tone.stop();
    EXPECT_GT(bytes - stalled, static_cast<std::size_t>(2 * 48000 * 8 * 0.97));
    const std::string all = helper.stderrSoFar();
    ASSERT_EQ(occurrences(all, line), 1u) << all;
    const std::string rest = all.substr(all.find(line) + line.size());
    EXPECT_EQ(rest.substr(rest.find(' '), 30), " samples - parent not reading\n");
    std::cout << "dropped " << std::stoull(rest) / 96.0 << " ms of a 10.5 s stall\n";
    EXPECT_EQ(std::stoull(rest) % 2, 0u);  // whole frames
    EXPECT_EQ(bytes % 8, 0u);
}

TEST(ProcessE2E, NeitherPipeReadEndsOnSigtermAndAMainQueueStuckOnTheServerGetsADeadline) {
    {
        ChildProcess unread = streamingHelper();
        unread.pauseStdout(true);
        unread.pauseStderr(true);
        std::string nonsense;
        for (int i = 0; i < 5000; ++i) nonsense += "nonsense\n";  // more replies than their pipe holds
        unread.write(nonsense);
        std::this_thread::sleep_for(500ms);
        unread.signal(SIGTERM);
        EXPECT_EQ(unread.waitForExit(5s), 0);  // the main queue never waited on standard error
    }
    ChildProcess stuck = streamingHelper();
    ServerPause hung;  // the next request waits on a server that does not answer
    stuck.write("LIST\n");
    std::this_thread::sleep_for(200ms);
    stuck.signal(SIGTERM);
    EXPECT_EQ(stuck.waitForExit(5s), std::nullopt);
    EXPECT_EQ(stuck.deathSignal(), SIGTERM);
}

// Once the main thread, which runs the main queue, has used no processor for 200 ms.
void waitUntilTheMainQueueRests(pid_t pid) {
    const auto ticks = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
        std::string field;
        long used = 0;
        for (int i = 1; i <= 15 && stat >> field; ++i)
            if (i >= 14) used += std::stol(field);  // utime, stime
        return used;
    };
    for (long last = -1, now = ticks(); now != last; now = ticks()) {
        last = now;
        std::this_thread::sleep_for(200ms);
    }
}
std::size_t statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1));
    return 0;
}

TEST(ProcessE2E, FloodsOnStandardInputAndUnreadAnswersLeaveMemoryFlat) {
    // AddressSanitizer would keep freed memory in quarantine; this test is about what the process keeps.
    ChildProcess helper(LUMVAR_HELPER_PATH, {.environment = {"ASAN_OPTIONS=quarantine_size_mb=0"}});
    waitUntilStreaming(helper);
#if defined(__SANITIZE_THREAD__)
    constexpr std::size_t kSlackKiB = 32 * 1024;  // the race detector's own bookkeeping grows with the work
#else
    constexpr std::size_t kSlackKiB = 8 * 1024;
#endif
    const std::size_t before = statusKiB(helper.pid(), "VmRSS");
    helper.write(std::string(50u << 20, 'x') + "\n");
    helper.waitForStderr("  x command too long (52428800 bytes) - ignored\n", 30s);
    std::string lines;
    for (int i = 0; i < 1'000'000; ++i) lines += "nop\n";
    helper.write(lines + "end-of-flood\n");
    const std::string text = helper.waitForStderr("unknown cmd: end-of-flood\n", 100s);
    EXPECT_EQ(occurrences(text, "unknown cmd: nop\n"), 1'000'000u);   // every command kept, none lost
    EXPECT_LT(statusKiB(helper.pid(), "VmHWM"), before + kSlackKiB);  // keeping every line: over 100 MiB
    // Answers nobody reads: past the status queue's bound only the newest device list waits.
    helper.pauseStderr(true);
    std::string lists;
    for (int i = 0; i < 40'000; ++i) lists += "LIST\n";
    helper.write(lists);
    waitUntilTheMainQueueRests(helper.pid());
    const std::size_t listed = statusKiB(helper.pid(), "VmRSS");
    EXPECT_LT(listed, before + kSlackKiB);  // every answer kept: 12 MiB and more
    // A main queue stuck on a server that does not answer, and commands of 65,000 bytes that are no UTF-8
    // (three times as long repaired): the reader stops at 4 MiB of them.
    helper.write("SYSTEM\n");
    {
        ServerPause hung;
        const std::string bad = std::string(65'000, '\xff') + "\n";
        for (int i = 0; i < 1000; ++i) helper.write(bad);
    }
    helper.pauseStderr(false);
    helper.write("end-of-floods\n");
    helper.waitForStderr("unknown cmd: end-of-floods\n", 100s);
    const std::size_t peak = statusKiB(helper.pid(), "VmHWM");
    std::cout << "resident before " << before / 1024.0 << " MiB, after 40,000 unread LISTs "
              << listed / 1024.0 << " MiB, peak after the floods " << peak / 1024.0 << " MiB\n";
    EXPECT_LT(peak, before + 3 * kSlackKiB);  // every command kept: 400 MiB; every answer: over 40 MiB
    endWithSigterm(helper);
}

// The shell hands the helper /dev/full as its standard output: every write gives ENOSPC.
TEST(ProcessE2E, AFailingStandardOutputIsReportedAndEndsWithStatusTwo) {
    ChildProcess helper("/bin/sh", {.arguments = {"-c", "exec \"$0\" >/dev/full", LUMVAR_HELPER_PATH}});
    const std::string line = "  x output write error (ENOSPC) - ending\n";
    helper.waitForStderr(line, 10s);
    EXPECT_EQ(helper.waitForExit(5s), 2);
    const std::string all = helper.stderrSoFar();
    EXPECT_EQ(occurrences(all, line), 1u) << all;
    EXPECT_EQ(all.substr(all.size() - line.size()), line);  // the last line: nothing runs after it
}

}  // namespace lumvar::testing
