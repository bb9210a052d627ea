// The real helper when the server is restarted at the worst moment, hangs for a while, or keeps
// changing its default sink while the parent does not read standard error: the audio always comes back.
// Figures are printed; the assertions allow generous time.
#include <csignal>
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRestarts = 3;
#else
constexpr int kRestarts = 20;
#endif

// Plays a tone into the default sink until the helper delivers a loud sample; how long that took, or -1.
double untilAudio(ChildProcess& helper, std::chrono::seconds limit) {
    ChildProcess busy = parec("lumvar_out");  // an idle null sink renders only every 2 s otherwise
    helper.discardStdout();
    const auto since = Clock::now();
    while (Clock::now() - since < limit) {
        Playback tone("lumvar_out", stereoTone(1000.0, 0.5, 1.0f));
        for (const auto until = Clock::now() + 600ms; Clock::now() < until;)
            for (const float value : asFloats(helper.readStdout(1 << 16, 20ms)))
                if (std::fabs(value) > 0.05f) return msSince(since);
    }
    return -1.0;
}

TEST(RecoveryE2E, AServerKilledTheMomentTheTapStartsComesBackWithTheAudio) {
    const std::string script = LUMVAR_SOUND_SERVER_SCRIPT;
    const std::string start = script + " start " + soundDir() + " " + soundServerKind() + " >/dev/null";
    ChildProcess helper = streamingHelper();
    std::vector<double> recovered;
    for (int round = 0; round < kRestarts; ++round) {
        run(script + " stop " + soundDir());
        ASSERT_TRUE(sees(helper, "  x sound server unreachable\n")) << "round " << round;
        const std::size_t before = helper.stderrSoFar().size();
        ASSERT_EQ(std::system(start.c_str()), 0) << "round " << round;
        // The moment the tap starts after the server's return, the server goes again.
        const std::string marker = "  > sound server back\n";
        for (const auto until = Clock::now() + 10s; Clock::now() < until;) {
            const std::string text = helper.stderrSoFar().substr(before);
            const auto back = text.find(marker);
            if (back != std::string::npos && text.find("  > system tap started\n", back) != std::string::npos)
                break;
            helper.readStdout(1 << 16, 5ms);
        }
        run(script + " stop " + soundDir());
        ASSERT_EQ(std::system(start.c_str()), 0) << "round " << round;
        const double took = untilAudio(helper, 15s);
        ASSERT_GT(took, 0.0) << "round " << round << ": no audio after the server's return\n"
                             << helper.stderrSoFar().substr(before);
        recovered.push_back(took);
    }
    std::sort(recovered.begin(), recovered.end());
    std::cout << kRestarts << " restarts at the tap's start: audio again after " << recovered.front()
              << " to " << recovered.back() << " ms (median " << recovered[recovered.size() / 2] << ")\n";
    endWithSigterm(helper);
}

TEST(RecoveryE2E, AServerThatHangsLongerThanItsRequestsGetsTheAudioBackWhenItAnswers) {
    ChildProcess helper = streamingHelper();
    ASSERT_GT(untilAudio(helper, 10s), 0.0);
    {
        ServerPause hung;
        for (const auto until = Clock::now() + 12s; Clock::now() < until;) helper.readStdout(1 << 20, 50ms);
    }
    const auto resumed = Clock::now();
    const double took = untilAudio(helper, 20s);
    std::cout << "server stopped for 12 s: audio again " << took << " ms after it went on\n";
    ASSERT_GT(took, 0.0) << helper.stderrSoFar();
    EXPECT_LT(msSince(resumed), 20000.0);
    const std::string text = helper.stderrSoFar();
    EXPECT_NE(text.find("  ! tap stalled - rebuilding\n"), std::string::npos);
    EXPECT_NE(text.find("  x rebuild failed; retrying next tick\n"), std::string::npos);
    EXPECT_NE(text.find("  > tap rebuilt\n"), std::string::npos);
    endWithSigterm(helper);
}

TEST(RecoveryE2E, AParentThatNeverReadsStandardErrorStillGetsItsAudioThroughEveryDefaultChange) {
    Module other("module-null-sink sink_name=lumvar_flip format=float32le rate=48000 channels=2");
    ASSERT_FALSE(other.id.empty());
    ChildProcess keepOut = parec("lumvar_out"), keepFlip = parec("lumvar_flip");  // both keep rendering
    ChildProcess helper = streamingHelper();
    helper.pauseStderr(true);
    std::atomic<bool> flipping{true};
    std::thread flips([&] {
        for (int i = 0; i < 500; ++i)
            run(std::string("pactl set-default-sink ") + (i % 2 ? "lumvar_out" : "lumvar_flip"));
        run("pactl set-default-sink lumvar_out");
        flipping = false;
    });
    double longestGapMs = 0.0;
    std::size_t bytes = 0;
    auto last = Clock::now();
    while (flipping) {
        const std::size_t got = helper.readStdout(1 << 20, 20ms).size();
        if (got == 0) continue;
        bytes += got;
        longestGapMs = std::max(longestGapMs, msSince(last));
        last = Clock::now();
    }
    flips.join();
    std::cout << "500 default changes, standard error unread: " << bytes / 8 << " frames, longest gap "
              << longestGapMs << " ms\n";
    EXPECT_GT(bytes, 0u);
    EXPECT_LT(longestGapMs, 3000.0);
    helper.pauseStderr(false);
    helper.write("LIST\nlist-done\n");
    EXPECT_NE(helper.waitForStderr("unknown cmd: list-done\n", 10s).find("unknown cmd: list-done\n"),
              std::string::npos);
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
