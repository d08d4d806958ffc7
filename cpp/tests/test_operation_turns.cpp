// One operation at a time per driver, and stops from another thread, on a
// rotary valve served by the emulator through a real SerialManager (the
// sanitizer builds run these too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "orvak/instruments/rotary_valve.hpp"
#include "orvak/operation_gate.hpp"
#include "orvak/serial_manager.hpp"
#include "orvak/sim/chain.hpp"

namespace orvak {
namespace {

using namespace std::chrono_literals;

struct Rig {
    sim::Chain chain{std::vector<long long>{2}, 0.0};
    RotaryValveBase valve{0, kinds::of(2)};
    std::shared_ptr<SerialManager> manager = std::make_shared<SerialManager>(
        chain.open_port(),
        std::make_shared<FixedRoutes>(std::vector<std::shared_ptr<ReplySlots>>{valve.slots()}));
    Rig() { valve.attach(manager); }
    [[nodiscard]] bool moving() const { return chain.state(1).moving; }
};

TEST(OperationGate, NestedCallsGoAheadAndOtherThreadsWait) {
    OperationGate gate;
    const auto never = [] {};
    EXPECT_EQ(gate.enter("outer", 1ms, never), OperationGate::Entry::began);
    EXPECT_EQ(gate.enter("inner", 1ms, never), OperationGate::Entry::nested);
    EXPECT_EQ(gate.operation_here(), "outer");
    std::atomic<bool> entered = false;
    std::thread other([&] {
        gate.enter("other", 1ms, never);
        entered = true;
        gate.leave();
    });
    std::this_thread::sleep_for(20ms);
    gate.leave();
    EXPECT_FALSE(entered);  // the outer call still holds the turn
    gate.leave();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(OperationGate, AStopTakesNoTurnAndMovesTheEpoch) {
    OperationGate gate;
    gate.enter("move", 1ms, [] {});
    const auto epoch = gate.epoch_here();
    std::thread stopper([&] {
        gate.begin_stop();
        // Calls the stop makes go ahead although the move holds the turn.
        EXPECT_EQ(gate.enter("send_command", 1ms, [] {}), OperationGate::Entry::bypassed);
        EXPECT_NE(gate.epoch_here(), epoch);  // the stop's own waits are not stopped
        gate.end_stop();
    });
    stopper.join();
    EXPECT_TRUE(gate.stopped_since(epoch));
    EXPECT_EQ(gate.epoch_here(), epoch);  // the move keeps the count it began with
    gate.leave();
}

TEST(OperationGate, ALimitedTryGivesUpARefusalRefusesAndNeitherTakesTheTurn) {
    OperationGate gate;
    const auto never = [] {};
    gate.enter("move", 1ms, never);
    std::thread other([&] {
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(gate.enter("read", 1ms, never, began + 30ms), OperationGate::Entry::busy);
        EXPECT_GE(std::chrono::steady_clock::now() - began, 30ms);
        EXPECT_EQ(gate.current_operation(), "move");
        gate.refuse_new();
        EXPECT_EQ(gate.enter("read", 1ms, never), OperationGate::Entry::refused);
    });
    other.join();
    // The holder's own nested calls and stops still go ahead.
    EXPECT_EQ(gate.enter("inner", 1ms, never), OperationGate::Entry::nested);
    gate.leave();
    gate.leave();
    EXPECT_EQ(gate.current_operation(), "");
    EXPECT_EQ(gate.enter("later", 1ms, never), OperationGate::Entry::refused);
}

TEST(OperationTurns, AStopFromAnotherThreadEndsTheWaitAtOnce) {
    Rig rig;
    rig.valve.home(true);
    rig.chain.set_time_scale(100.0);
    std::thread stopper([&] {
        while (!rig.moving()) std::this_thread::sleep_for(1ms);
        rig.valve.stop();
    });
    const auto began = std::chrono::steady_clock::now();
    EXPECT_THROW(rig.valve.exclusive("select_port", [&] { rig.valve.select_port(8, true); }),
                 StoppedError);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
    EXPECT_FALSE(rig.valve.current_port.has_value());
    rig.chain.set_time_scale(0.0);
    EXPECT_EQ(rig.valve.identify(), 2);
}

TEST(OperationTurns, ConcurrentCallsOnOneDriverDoNotInterleave) {
    Rig rig;
    rig.valve.home(true);
    std::vector<std::thread> callers;
    std::atomic<int> identified = 0;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            for (int n = 0; n < 25; ++n) {
                if (rig.valve.exclusive("identify", [&] { return rig.valve.identify(); }) == 2) {
                    ++identified;
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(identified, 100);
}

}  // namespace
}  // namespace orvak
