#include "capture/callback_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace lumvar::testing {

TEST(CallbackGateTest, CloseWaitsForTheCallbackInsideAndTurnsAwayLaterOnes) {
    capture::CallbackGate gate;
    ASSERT_TRUE(gate.enter());
    std::atomic<bool> closed{false};
    std::thread stopper([&] { gate.close(), closed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed);  // a callback is still inside
    gate.leave();
    stopper.join();
    EXPECT_FALSE(gate.enter());
}

}  // namespace lumvar::testing
