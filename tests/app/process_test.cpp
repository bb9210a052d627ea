#include "app/process.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/app_fixture.h"

namespace lumvar::testing {

using namespace std::chrono_literals;
using app::MainQueue;
using app::Process;
using Op = ScriptedAudio::Op;

struct ProcessTest : MachineFixture {
    MainQueue::Clock::time_point now{};
    MainQueue queue{[this] { return now; }};
    std::optional<Process> process;
    std::vector<std::string> events;

    void SetUp() override {
        MachineFixture::SetUp();
        process.emplace(Process::Deps{hw, out, err, platformText(), sleeper, uuids, parent, queue});
    }

    Process::Hooks recordingHooks() {
        return {[this] { events.push_back("reader after: " + err.chunks().back()); },
                [this] { events.push_back("signals"); }};
    }
    void advance(MainQueue::Clock::duration by) {
        now += by;
        queue.runPending();
    }
};

TEST_F(ProcessTest, StartsInItsFixedOrder) {
    ASSERT_TRUE(process->start(recordingHooks()));
    const std::string devices = "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n";
    const std::string banner = "  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n";
    EXPECT_EQ(err.text(), buildLines() + devices + banner);
    EXPECT_EQ(events, (std::vector<std::string>{"reader after: " + banner, "signals"}));
    EXPECT_EQ(process->controller().zeroThreshold(), 23'040'000);

    // The watchdog's first tick comes 2 s after start-up.
    parent.gone = true;
    advance(1999ms);
    EXPECT_EQ(queue.stopStatus(), std::nullopt);
    advance(1ms);
    EXPECT_EQ(queue.stopStatus(), 0);
    expectNothingLeaked();
}

TEST_F(ProcessTest, FailedFirstBuildStopsStartUp) {
    hw.inject({Op::CreateAggregateDevice, {}, {}, -3});
    EXPECT_FALSE(process->start(recordingHooks()));
    EXPECT_EQ(err.chunks().back(), "initial tap build failed\n");
    EXPECT_EQ(err.text().find("@DEVICES"), std::string::npos);
    EXPECT_TRUE(events.empty());
    expectNothingLeaked();
}

TEST_F(ProcessTest, ABrokenStandardOutputEndsTheProcessOnce) {
    ASSERT_TRUE(process->start({}));
    process->post(*app::parseCommand("LIST", platformText()));
    process->outputFailed(EAGAIN);  // not a reader that went away
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), std::nullopt);

    err.clear();
    process->outputFailed(EPIPE);
    process->outputFailed(EPIPE);
    process->post(*app::parseCommand("SYSTEM", platformText()));
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), 0);
    EXPECT_EQ(err.text(), "");  // termination ran first and writes nothing
    expectNothingLeaked();
}

}  // namespace lumvar::testing
