// The real helper as a process, in one mode: none of it depends on the way to the server.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <filesystem>
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

pid_t childOf(pid_t parent) {
    const std::string id = std::to_string(parent);
    pid_t child = 0;
    return std::ifstream("/proc/" + id + "/task/" + id + "/children") >> child, child;
}

TEST(ProcessE2E, CommandsBeforeStartUpEndedRunInOrderAndEveryEndHasItsStatusButAParentThatWasProcessOne) {
    // In a PID namespace of its own the shell is process 1, as a container's init is: a parent from the
    // start, never one gone. Looked at again after two ticks of the watchdog and two looks of the deadline's.
    ChildProcess box("/usr/bin/unshare",
                     {"--pid", "--fork", "/bin/sh", "-c", "\"$0\"; exit $?", LUMVAR_HELPER_PATH});
    waitUntilStreaming(box);
    const auto boxed = Clock::now();
    {
        ChildProcess keepRendering = parec("lumvar_out"), helper(LUMVAR_HELPER_PATH);
        helper.write("bogus one\nINPUT lumvar_mono\r\nlist\nSYSTEM\n");
        helper.closeStdin();
        const std::string all = helper.waitForStderr("  > system tap started\n", 10s);
        std::size_t at = all.find(kBanner);
        for (const char* line : {"unknown cmd: bogus one\n", "  > input capture started: lumvar_mono\n",
                                 "@DEVICES ", "  > system tap started\n"})
            EXPECT_NE(at = all.find(line, at), std::string::npos) << line;
        helper.discardStdout();
        EXPECT_GE(helper.readStdout(8192, 5s).size(), 8192u);  // still streaming with stdin closed
        // What it captured while the parent stalled comes out at the end, in whole frames; no line does.
        const std::string before = helper.stderrSoFar();
        helper.pauseStdout(true);
        std::this_thread::sleep_for(2s);
        helper.signal(SIGINT);
        helper.pauseStdout(false);
        EXPECT_EQ(helper.waitForExit(5s), 0);
        const std::size_t drained = helper.readStdout(1 << 30, 1s).size();
        EXPECT_GT(drained, static_cast<std::size_t>(2 * 48000 * 8 * 0.97));
        EXPECT_EQ(drained % 8, 0u);
        EXPECT_EQ(helper.stderrSoFar(), before);
    }
    // The parent goes: a shell that ends with its standard input, leaving the helper to us, a sub-reaper.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ChildProcess parent("/bin/sh", {"-c", "\"$0\" & read gone", LUMVAR_HELPER_PATH});
    waitUntilStreaming(parent);
    const pid_t orphan = childOf(parent.pid());
    parent.closeStdin();
    parent.waitForExit(5s);
    int status = -1;
    const auto until = Clock::now() + 6s;
    while (::waitpid(orphan, &status, WNOHANG) == 0 && Clock::now() < until) parent.readStdout(1 << 20, 10ms);
    EXPECT_EQ(status, 0) << "the wait status of a helper whose parent has gone";
    // The shell hands the helper /dev/full as its standard output: every write gives ENOSPC. Its line is the
    // last: nothing runs after it.
    ChildProcess full("/bin/sh", {"-c", "exec \"$0\" >/dev/full", LUMVAR_HELPER_PATH});
    EXPECT_EQ(full.waitForExit(10s), 2);
    EXPECT_TRUE(full.stderrSoFar().ends_with("  x output write error (ENOSPC) - ending\n"))
        << full.stderrSoFar();
    // Closed standard input and error are held on /dev/null, not taken by the first socket or pipe the
    // helper opens (which it would then read commands from and write status lines into). Its standard
    // output closed, it ends.
    ChildProcess closed("/bin/sh", {"-c", "exec \"$0\" <&- 2>&-", LUMVAR_HELPER_PATH});
    ASSERT_EQ(closed.readStdout(8, 5s).size(), 8u);
    for (const int fd : {0, 2}) {
        const auto target = std::filesystem::read_symlink("/proc/" + std::to_string(closed.pid()) + "/fd/" +
                                                          std::to_string(fd));
        EXPECT_EQ(target, "/dev/null") << "descriptor " << fd;
    }
    closed.closeStdout();
    EXPECT_EQ(closed.waitForExit(6s), 0);  // an idle null sink may take 2 s to deliver the next block
    std::this_thread::sleep_until(boxed + 4500ms);
    EXPECT_EQ(box.waitForExit(0ms), std::nullopt) << "the helper took process 1 for a parent that has gone";
    ::kill(childOf(childOf(box.pid())), SIGTERM);
    EXPECT_EQ(box.waitForExit(5s), 0);
}

// Start-up fails with exit 1 once both ways to a server have been tried (5 s each when mute); a signal
// meanwhile ends it at once. Later, a main queue stuck on a server that stopped answering gets the deadline.
TEST(ProcessE2E, AServerNotThereOrNeverAnsweringFailsTheStartAndHoldsOffNoSignal) {
    MuteServer mute;
    const auto towards = [](const std::string& server) {
        return ChildProcess(LUMVAR_HELPER_PATH, {},
                            {"PULSE_SERVER=unix:" + server, "PIPEWIRE_REMOTE=" + server});
    };
    const std::string failed = "  x get default output failed: 1885564782\ninitial tap build failed\n";
    ChildProcess unanswered = towards(mute.path);  // waited for last, at 10 s
    ChildProcess nothing = towards("/nonexistent/native");
    EXPECT_EQ(nothing.waitForExit(5s), 1);
    EXPECT_EQ(nothing.stderrSoFar(), failed);
    for (const int signal : {SIGTERM, SIGINT}) {
        ChildProcess helper = towards(mute.path);
        std::this_thread::sleep_for(500ms);
        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(3s), -signal);
        EXPECT_EQ(helper.stderrSoFar(), "");
    }
    {
        ChildProcess stuck = streamingHelper();
        ServerPause hung;  // the next request waits on a server that does not answer
        stuck.write("LIST\n");
        std::this_thread::sleep_for(200ms);
        stuck.signal(SIGTERM);
        EXPECT_EQ(stuck.waitForExit(5s), -SIGTERM);
    }
    EXPECT_EQ(unanswered.waitForExit(15s), 1);
    EXPECT_EQ(unanswered.stderrSoFar(), failed);
}

std::size_t statusKiB(pid_t pid, const std::string& field) {  // a field of /proc/<pid>/status
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stoul(line.substr(field.size() + 1));
    return 0;
}

TEST(ProcessE2E, FloodsOnStandardInputAndUnreadAnswersLeaveMemoryFlatAndNeverHoldOffTheEnd) {
    // AddressSanitizer would keep freed memory in quarantine; this test is about what the process keeps.
    ChildProcess helper(LUMVAR_HELPER_PATH, {}, {"ASAN_OPTIONS=quarantine_size_mb=0"});
    waitUntilStreaming(helper);
#if defined(__SANITIZE_THREAD__)
    constexpr std::size_t kSlackKiB = 32 * 1024;  // the race detector's own bookkeeping grows with the work
#elif defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t kSlackKiB = 16 * 1024;  // the checker's allocator keeps its own (2 MiB without it)
#else
    constexpr std::size_t kSlackKiB = 8 * 1024;
#endif
    const std::size_t before = statusKiB(helper.pid(), "VmRSS");
    helper.write(std::string(50u << 20, 'x') + "\n");
    helper.waitForStderr("  x command too long (52428800 bytes) - ignored\n", 30s);
    const auto times = [](int count, const std::string& line) {
        std::string lines;
        for (int i = 0; i < count; ++i) lines += line;
        return lines;
    };
    helper.write(times(1'000'000, "nop\n") + "end-of-flood\n");
    const std::string text = helper.waitForStderr("unknown cmd: end-of-flood\n", 100s);
    EXPECT_EQ(occurrences(text, "unknown cmd: nop\n"), 1'000'000u);   // every command kept, none lost
    EXPECT_LT(statusKiB(helper.pid(), "VmHWM"), before + kSlackKiB);  // keeping every line: over 100 MiB
    // Answers nobody reads: past the status queue's bound only the newest device list waits. Measured once
    // the main thread, which runs the main queue, has used no processor for 200 ms.
    helper.pauseStderr(true);
    helper.write(times(40'000, "LIST\n"));
    const auto used = [pid = std::to_string(helper.pid())] {  // the main thread's utime and stime
        std::ifstream stat("/proc/" + pid + "/task/" + pid + "/stat");
        std::string field;
        long ticks = 0;
        for (int i = 1; i <= 15 && stat >> field; ++i)
            if (i >= 14) ticks += std::stol(field);
        return ticks;
    };
    for (long last = -1, now = used(); now != last; now = used())
        last = now, std::this_thread::sleep_for(200ms);
    const std::size_t listed = statusKiB(helper.pid(), "VmRSS");
    EXPECT_LT(listed, before + kSlackKiB);  // every answer kept: 12 MiB and more
    // A main queue stuck on a server that does not answer, and commands of 65,000 bytes that are no UTF-8
    // (three times as long repaired): the reader stops at 4 MiB of them.
    helper.write("SYSTEM\n");
    {
        ServerPause hung;
        helper.write(times(1000, std::string(65'000, '\xff') + "\n"));
    }
    helper.pauseStderr(false);
    helper.write("end-of-floods\n");
    helper.waitForStderr("unknown cmd: end-of-floods\n", 100s);
    const std::size_t peak = statusKiB(helper.pid(), "VmHWM");
    std::cout << "resident before " << before / 1024.0 << " MiB, after 40,000 unread LISTs "
              << listed / 1024.0 << " MiB, peak after the floods " << peak / 1024.0 << " MiB\n";
    EXPECT_LT(peak, before + 3 * kSlackKiB);  // every command kept: 400 MiB; every answer: over 40 MiB
    // Neither pipe read, with more answers than standard error's pipe holds: the main queue never waits on
    // it, and SIGTERM still ends the helper cleanly.
    helper.pauseStdout(true);
    helper.pauseStderr(true);
    helper.write(times(5000, "nonsense\n"));
    std::this_thread::sleep_for(500ms);
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
