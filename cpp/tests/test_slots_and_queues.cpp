#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "orvak/event.hpp"
#include "orvak/line_queue.hpp"
#include "orvak/reply_slot.hpp"

namespace orvak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs `wait` on another thread, does `wake` once it has had time to block,
// and returns what the wait gave back and how long it took.
template <class Wait, class Wake>
auto blocked_then_woken(Wait wait, Wake wake) {
    std::optional<decltype(wait())> result;
    Clock::duration took{};
    std::thread waiter([&] {
        const auto started = Clock::now();
        result = wait();
        took = Clock::now() - started;
    });
    std::this_thread::sleep_for(50ms);
    wake();
    waiter.join();
    return std::pair(*result, took);
}

TEST(ReplySlot, HoldsOneValueAndDeliverReplacesIt) {
    ReplySlot slot;
    EXPECT_TRUE(slot.try_put("OK"));
    EXPECT_FALSE(slot.try_put("BAD"));
    EXPECT_FALSE(slot.put_for("BAD", 0.05s));
    EXPECT_EQ(slot.size(), 1U);

    slot.deliver("DONE");
    EXPECT_EQ(slot.size(), 1U);
    EXPECT_EQ(slot.try_get(), "DONE");
    EXPECT_TRUE(slot.empty());
    EXPECT_EQ(slot.try_get(), std::nullopt);
    EXPECT_EQ(slot.get_for(0.01s), std::nullopt);
}

TEST(ReplySlot, DeliverWakesABlockedGetAtOnce) {
    ReplySlot slot;
    const auto [value, took] =
        blocked_then_woken([&] { return slot.get_for(30s); }, [&] { slot.deliver("OK"); });
    EXPECT_EQ(value, "OK");
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(slot.empty());
}

TEST(ReplySlot, WakeWaitersEndsABlockedGetEmpty) {
    ReplySlots slots;
    const auto [value, took] =
        blocked_then_woken([&] { return slots.done.get_for(30s); }, [&] { slots.wake_waiters(); });
    EXPECT_EQ(value, std::nullopt);
    EXPECT_LT(took, 5s);
    slots.done.deliver("DONE");  // a value delivered later is still there
    EXPECT_EQ(slots.done.get_for(0s), "DONE");
}

TEST(ReplySlot, PutForWaitsUntilTheValueIsTaken) {
    ReplySlot slot;
    slot.deliver("first");
    const auto [put, took] = blocked_then_woken([&] { return slot.put_for("second", 30s); },
                                                [&] { EXPECT_EQ(slot.try_get(), "first"); });
    EXPECT_TRUE(put);
    EXPECT_LT(took, 5s);
    EXPECT_EQ(slot.try_get(), "second");
}

TEST(LineQueue, KeepsOrderAndRunsThePutHook) {
    LineQueue queue;
    int hooks = 0;
    queue.on_put([&] { ++hooks; });
    for (const char* line : {"a", "b", "c", "d"}) queue.put(line);
    EXPECT_EQ(hooks, 4);
    EXPECT_EQ(queue.size(), 4U);
    EXPECT_EQ(queue.try_get(), "a");
    EXPECT_EQ(queue.get_for(0.01s), "b");
    EXPECT_EQ(queue.get_unless(0.01s, [] { return false; }), "c");
    EXPECT_EQ(queue.take_all(), (std::deque<std::string>{"d"}));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.get_for(0.01s), std::nullopt);
}

TEST(LineQueue, WakeWaitersEndsACancelledGetUnless) {
    LineQueue queue;
    std::atomic<bool> cancelled{false};
    const auto [line, took] =
        blocked_then_woken([&] { return queue.get_unless(30s, [&] { return cancelled.load(); }); },
                           [&] {
                               cancelled = true;
                               queue.wake_waiters();
                           });
    EXPECT_EQ(line, std::nullopt);
    EXPECT_LT(took, 5s);
}

TEST(Event, WaitForWakesOnSetAndHookRuns) {
    Event event;
    std::atomic<int> hooks{0};
    event.on_set([&] { ++hooks; });
    EXPECT_FALSE(event.wait_for(0.01s));

    const auto [woken, took] =
        blocked_then_woken([&] { return event.wait_for(30s); }, [&] { event.set(); });
    EXPECT_TRUE(woken);
    EXPECT_LT(took, 5s);
    EXPECT_EQ(hooks, 1);
    EXPECT_TRUE(event.wait_for(0s));

    event.clear();
    EXPECT_FALSE(event.is_set());
    EXPECT_FALSE(event.wait_for(0.01s));
}

}  // namespace
}  // namespace orvak
