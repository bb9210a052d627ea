#include "capture/callback_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace lumvar::testing {

using capture::CallbackGate;

TEST(CallbackGateTest, CloseWaitsForTheCallbackInsideAndTurnsAwayLaterOnes) {
    CallbackGate gate;
    ASSERT_TRUE(gate.enter());
    std::atomic<bool> closed{false};
    std::thread stopper([&] {
        gate.close();
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed);  // a callback is still inside
    gate.leave();
    stopper.join();
    EXPECT_FALSE(gate.enter());
}

}  // namespace lumvar::testing
