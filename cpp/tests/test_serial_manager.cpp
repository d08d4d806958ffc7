#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvak/posix_serial_port.hpp"
#include "orvak/serial_manager.hpp"
#include "pty_pair.hpp"

namespace orvak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PtyPair;

bool eventually(const std::function<bool()>& condition, Clock::duration limit = 2s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::size_t entries_in(const char* directory) {
    const std::filesystem::directory_iterator entries(directory);
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// The process's thread count once no thread is on its way out. A thread just
// joined can still be listed in /proc for a moment, and a count taken then
// would be one too many for the rest of the test.
std::size_t threads_at_rest() {
    auto count = entries_in("/proc/self/task");
    for (int tries = 0; tries < 100; ++tries) {
        std::this_thread::sleep_for(20ms);
        const auto again = entries_in("/proc/self/task");
        if (again == count) break;
        count = again;
    }
    return count;
}

class RecordingLog final : public LogSink {
  public:
    struct Line {
        LogLevel level;
        std::string text;
    };
    [[nodiscard]] bool enabled(LogLevel /*level*/) const override { return true; }
    void log(LogLevel level, std::string_view pattern, std::vector<std::string> args,
             std::exception_ptr /*error*/) override {
        const std::lock_guard lock(mutex_);
        lines_.push_back({level, format_log_pattern(pattern, args)});
    }
    [[nodiscard]] std::vector<std::string> at(LogLevel level) const {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> found;
        for (const auto& line : lines_) {
            if (line.level == level) found.push_back(line.text);
        }
        return found;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

// An in-memory port with no readiness descriptor, so the manager polls it.
class FakePort : public Port {
  public:
    bool is_open() override { return open_; }
    void write(std::string_view bytes) override {
        const std::lock_guard lock(mutex_);
        written_ += bytes;
    }
    std::size_t in_waiting() override {
        const std::lock_guard lock(mutex_);
        return incoming_.size();
    }
    std::string read(std::size_t count) override {
        const std::lock_guard lock(mutex_);
        std::string out = incoming_.substr(0, count);
        incoming_.erase(0, out.size());
        return out;
    }
    void close() override { open_ = false; }

    void feed(std::string_view bytes) {
        const std::lock_guard lock(mutex_);
        incoming_ += bytes;
    }
    std::string take_written() {
        const std::lock_guard lock(mutex_);
        return std::exchange(written_, {});
    }

  private:
    std::atomic<bool> open_{true};
    std::mutex mutex_;
    std::string incoming_;
    std::string written_;
};

// A port plus its far end: the instrument side of the wire.
struct Wire {
    std::shared_ptr<Port> port;
    std::function<void(std::string_view)> send_far;
    std::function<std::string(std::string_view terminator)> receive_far;
};

Wire pty_wire() {
    auto pty = std::make_shared<PtyPair>();
    std::shared_ptr<Port> port = PosixSerialPort::adopt(pty->release_slave(), "pty");
    return {port, [pty](std::string_view bytes) { pty->write_far(bytes); },
            [pty](std::string_view terminator) { return pty->read_far_until(terminator, 2s); }};
}

Wire fake_wire() {
    auto fake = std::make_shared<FakePort>();
    return {fake, [fake](std::string_view bytes) { fake->feed(bytes); },
            [fake](std::string_view terminator) {
                std::string seen;
                eventually([&] {
                    seen += fake->take_written();
                    return seen.find(terminator) != std::string::npos;
                });
                return seen;
            }};
}

std::vector<std::shared_ptr<ReplySlots>> fresh_slots(std::size_t count) {
    std::vector<std::shared_ptr<ReplySlots>> slots;
    for (std::size_t i = 0; i < count; ++i) slots.push_back(std::make_shared<ReplySlots>());
    return slots;
}

// Every case runs over a pseudo-terminal (event-driven loop) and over the
// in-memory port (polling loop).
class OverEitherPort : public ::testing::TestWithParam<Wire (*)()> {};

INSTANTIATE_TEST_SUITE_P(Ports, OverEitherPort, ::testing::Values(&pty_wire, &fake_wire),
                         [](const auto& info) { return info.index == 0 ? "pty" : "fake"; });

TEST_P(OverEitherPort, QueuedCommandsGoOutAsLinesInOrder) {
    const Wire wire = GetParam()();
    SerialManager manager(wire.port, nullptr, std::make_shared<RecordingLog>());
    for (const char* line : {"<I1 M116>", "<I2 G0 X1>", "<I1 M115>"}) manager.send_line(line);
    EXPECT_EQ(wire.receive_far("M115>\n"), "<I1 M116>\n<I2 G0 X1>\n<I1 M115>\n");
}

// The read side of the loop, run alone so the lines it queues can be seen
// before any routing: the manager itself has no port and is stopped.
TEST_P(OverEitherPort, ReadLoopFramesLines) {
    const Wire wire = GetParam()();
    SerialManager manager(nullptr, nullptr, std::make_shared<RecordingLog>());
    manager.stop();
    manager.stop_event().clear();
    std::thread loop([&] { manager.manage_communication(*wire.port); });
    const auto next_line = [&] { return manager.read_queue().get_for(2s).value_or("(none)"); };

    wire.send_far("I1 OK\nI2 DO");
    EXPECT_EQ(next_line(), "I1 OK");
    std::this_thread::sleep_for(20ms);
    wire.send_far("NE\n");
    EXPECT_EQ(next_line(), "I2 DONE");
    wire.send_far("\n\nI3 POS 1\r\n\nI4 \xC3\xA9t\xC3\xA9 \xFFok\n");
    EXPECT_EQ(next_line(), "I3 POS 1\r");
    EXPECT_EQ(next_line(), "I4 t ok");
    EXPECT_TRUE(manager.read_queue().empty());

    manager.stop_event().set();
    loop.join();
    EXPECT_FALSE(wire.port->is_open());
}

TEST_P(OverEitherPort, RoutesRepliesByAddressAndKind) {
    const Wire wire = GetParam()();
    const auto slots = fresh_slots(3);
    SerialManager manager(wire.port, std::make_shared<FixedRoutes>(slots),
                          std::make_shared<RecordingLog>());
    // Lines that must go nowhere come first; the last line tells they were handled.
    wire.send_far("I4 OK\nI0 OK\nOK\nI1OK\n I1 OK\nI2 BAD 0x1\nI3 ID 7\n");
    ASSERT_EQ(slots[2]->other.get_for(2s), "ID 7");
    EXPECT_EQ(slots[1]->ok.try_get(), "BAD 0x1");
    for (const auto& slot : slots) EXPECT_TRUE(slot->ok.empty());

    const struct {
        const char* line;
        std::size_t position;
        ReplySlot ReplySlots::*slot;
        const char* value;
    } cases[] = {
        {"I1 OK\r\n", 0, &ReplySlots::ok, "OK\r"},
        {"I2  NOTOK motor 1 \r\n", 1, &ReplySlots::notok, "NOTOK motor 1"},
        {"I2 M102 stall\n", 1, &ReplySlots::notok, "M102 stall"},
        {"I3 X DONE 12\n", 2, &ReplySlots::done, "DONE"},
        {"I1 POS X10 $$$\n", 0, &ReplySlots::position, "POS X10 $$$"},
        {"I3 v1.2.3\n", 2, &ReplySlots::other, "v1.2.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        wire.send_far(c.line);
        EXPECT_EQ(((*slots[c.position]).*c.slot).get_for(2s), c.value);
    }
}

TEST_P(OverEitherPort, StopJoinsClosesThePortAndCanRepeat) {
    const Wire wire = GetParam()();
    const auto log = std::make_shared<RecordingLog>();
    SerialManager manager(wire.port, nullptr, log);
    EXPECT_TRUE(manager.is_alive());
    manager.stop();
    EXPECT_FALSE(manager.is_alive());
    EXPECT_FALSE(wire.port->is_open());
    EXPECT_FALSE(manager.died_event().is_set());
    EXPECT_EQ(manager.thread_error(), nullptr);
    manager.stop();
    EXPECT_TRUE(log->at(LogLevel::error).empty());
}

TEST_P(OverEitherPort, PortClosedByItsOwnerKeepsTheManagerRunning) {
    const Wire wire = GetParam()();
    const auto log = std::make_shared<RecordingLog>();
    SerialManager manager(wire.port, nullptr, log);
    wire.port->close();
    manager.send_line("<I1 M116>");
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(manager.is_alive());
    EXPECT_FALSE(manager.died_event().is_set());
    const auto started = Clock::now();
    manager.stop();
    EXPECT_LT(Clock::now() - started, 2s);
    EXPECT_TRUE(log->at(LogLevel::error).empty());
}

TEST(SerialManager, UnplugReportsTheLostLinkOnce) {
    PtyPair pty;
    const auto port = PosixSerialPort::adopt(pty.release_slave(), "pty");
    const auto log = std::make_shared<RecordingLog>();
    SerialManager manager(port, nullptr, log);
    pty.close_master();

    ASSERT_TRUE(manager.died_event().wait_for(2s));
    EXPECT_TRUE(manager.stop_event().wait_for(2s));  // set just after died
    EXPECT_FALSE(manager.is_alive());
    EXPECT_THROW(std::rethrow_exception(manager.thread_error()), PortError);
    EXPECT_TRUE(eventually([&] { return !port->is_open(); }));
    manager.send_line("<I1 M116>");
    manager.stop();
    EXPECT_EQ(
        log->at(LogLevel::error),
        std::vector<std::string>{
            "Orvak connection lost \xE2\x80\x94 the instrument was turned off or unplugged."});
}

TEST(SerialManager, RepeatedPortFailuresKeepTheFirst) {
    // Stays "open" so the failure can be provoked again after the loop ends.
    struct UnpluggedPort final : FakePort {
        std::atomic<int> failures{0};
        std::size_t in_waiting() override {
            throw PortError("failure " + std::to_string(++failures));
        }
        void close() override {}
    };
    const auto port = std::make_shared<UnpluggedPort>();
    const auto log = std::make_shared<RecordingLog>();
    SerialManager manager(port, nullptr, log);
    ASSERT_TRUE(manager.died_event().wait_for(2s));
    manager.stop();
    EXPECT_EQ(manager.read(*port), "");  // fails a second time
    EXPECT_GE(port->failures, 2);
    EXPECT_EQ(log->at(LogLevel::error).size(), 1U);
    try {
        std::rethrow_exception(manager.thread_error());
    } catch (const PortError& error) {
        EXPECT_STREQ(error.what(), "failure 1");
    }
}

TEST(SerialManager, OrdinaryReadFailureIsLoggedAndSurvived) {
    struct GlitchyPort final : FakePort {
        std::atomic<int> reads{0};
        std::string read(std::size_t count) override {
            if (++reads == 1) throw std::runtime_error("glitch");
            return FakePort::read(count);
        }
    };
    const auto port = std::make_shared<GlitchyPort>();
    const auto slots = fresh_slots(1);
    const auto log = std::make_shared<RecordingLog>();
    SerialManager manager(port, std::make_shared<FixedRoutes>(slots), log);
    port->feed("I1 OK\n");
    EXPECT_EQ(slots[0]->ok.get_for(2s), "OK");
    EXPECT_EQ(log->at(LogLevel::warning), std::vector<std::string>{"Serial read failed"});
    EXPECT_TRUE(manager.is_alive());
    EXPECT_TRUE(log->at(LogLevel::error).empty());
}

TEST(SerialManager, CrashedLoopIsLoggedByName) {
    struct BrokenPort final : FakePort {
        bool is_open() override { throw std::runtime_error("broken"); }
    };
    const auto log = std::make_shared<RecordingLog>();
    SerialManager manager(std::make_shared<BrokenPort>(), nullptr, log);
    ASSERT_TRUE(manager.died_event().wait_for(2s));
    EXPECT_TRUE(manager.stop_event().wait_for(2s));  // set just after died
    EXPECT_THROW(std::rethrow_exception(manager.thread_error()), std::runtime_error);
    manager.stop();
    EXPECT_EQ(log->at(LogLevel::error),
              std::vector<std::string>{"Orvak serial background thread _manage_communication "
                                       "crashed; serial communication has stopped."});
}

TEST(SerialManager, EventDrivenLoopSleepsWhileIdle) {
    PtyPair pty;
    SerialManager manager(PosixSerialPort::adopt(pty.release_slave(), "pty"), nullptr,
                          std::make_shared<RecordingLog>());
    ASSERT_TRUE(eventually([&] { return manager.event_driven(); }));
    std::this_thread::sleep_for(20ms);
    const auto before = manager.io_wakeups();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(manager.io_wakeups(), before);
}

// A descriptor that stays readable while the port has nothing to read must
// not spin the loop: it falls back to the poll period.
TEST(SerialManager, StaleReadinessDoesNotSpin) {
    class StaleReadiness final : public FakePort {
      public:
        StaleReadiness() {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(fd_.get(), &one, sizeof one);
        }
        [[nodiscard]] int readiness_fd() const override { return fd_.get(); }

      private:
        detail::UniqueFd fd_{::eventfd(0, EFD_CLOEXEC)};
    };
    const auto port = std::make_shared<StaleReadiness>();
    auto slots = fresh_slots(1);
    SerialManager manager(port, std::make_shared<FixedRoutes>(slots),
                          std::make_shared<RecordingLog>());
    ASSERT_TRUE(eventually([&] { return manager.event_driven(); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(manager.io_wakeups(), 60U);  // about 20 at the poll period
    port->feed("I1 OK\n");
    EXPECT_EQ(slots[0]->ok.get_for(2s), "OK");
}

// pyserial's RFC 2217 port hands out one byte per read, whatever it reports
// waiting: a reply is still taken in one pass of the polling loop, not in a
// pass (up to 10 ms) per byte.
TEST(SerialManager, PortGivingOneBytePerReadIsReadInOnePass) {
    struct OneBytePerRead final : FakePort {
        std::atomic<int> looks_with_bytes_waiting{0};
        bool is_open() override {
            if (FakePort::in_waiting() > 0) ++looks_with_bytes_waiting;
            return FakePort::is_open();
        }
        std::string read(std::size_t count) override {
            return FakePort::read(std::min<std::size_t>(count, 1));
        }
    };
    const auto port = std::make_shared<OneBytePerRead>();
    const auto slots = fresh_slots(1);
    SerialManager manager(port, std::make_shared<FixedRoutes>(slots),
                          std::make_shared<RecordingLog>());
    port->feed("I1 POS X10.000 Y20.000 Z30.000 $$$$$$$$\n");
    EXPECT_EQ(slots[0]->position.get_for(2s), "POS X10.000 Y20.000 Z30.000 $$$$$$$$");
    EXPECT_LE(port->looks_with_bytes_waiting.load(), 4);  // one per byte was 80
}

// The polling loop's pace: short only while a line sent within the reply
// window has not been answered by as many lines.
TEST(SerialManager, PollingIsShortOnlyWhileARecentLineIsUnanswered) {
    using Pace = SerialManager::PollPace;
    constexpr Seconds idle = SerialManager::poll_period;
    constexpr Seconds awaited = SerialManager::awaited_poll_period;
    const struct {
        const char* what;
        std::size_t earlier;              // lines sent two windows before, never answered
        std::size_t before, sent, after;  // then lines received, sent, received
        double at;                        // asked this many windows after sending
        Seconds wait;
    } cases[] = {
        {"nothing sent", 0, 0, 0, 0, 0.0, idle},
        {"a query awaits its reply", 0, 0, 1, 0, 0.0, awaited},
        {"its reply came", 0, 0, 1, 1, 0.0, idle},
        {"two of three replies came", 0, 0, 3, 2, 0.5, awaited},
        {"earlier lines answer nothing sent later", 0, 2, 1, 0, 0.0, awaited},
        {"a line nothing answers, past the window", 0, 0, 1, 0, 1.01, idle},
        {"an old unanswered line is forgotten", 1, 0, 1, 1, 0.0, idle},
    };
    const auto window = [](double count) {
        return std::chrono::duration_cast<Pace::Clock::duration>(count *
                                                                 SerialManager::reply_window);
    };
    const auto sent_at = Pace::Clock::now();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pace pace;
        pace.sent(c.earlier, sent_at - window(2.0));
        pace.received(c.before);
        pace.sent(c.sent, sent_at);
        pace.received(c.after);
        EXPECT_EQ(pace.next_wait(sent_at + window(c.at)), c.wait);
    }
}

TEST(SerialManager, ManyManagersLeaveNoDescriptorOrThread) {
    std::size_t descriptors = 0;
    std::size_t threads = 0;
    // Counting starts after one warm-up manager, once runtime helpers (a
    // sanitizer's background thread) are running.
    for (int i = -1; i < 200; ++i) {
        if (i == 0) {
            descriptors = entries_in("/proc/self/fd");
            threads = threads_at_rest();
        }
        PtyPair pty;
        SerialManager manager(PosixSerialPort::adopt(pty.release_slave(), "pty"), nullptr,
                              std::make_shared<RecordingLog>());
        if (i % 2 == 0) manager.stop();
    }
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
    // An exited thread can linger in /proc for a moment after join.
    EXPECT_TRUE(eventually([&] { return entries_in("/proc/self/task") == threads; }));
}

// A host whose last reference to a manager goes inside one of the manager's
// own loops, as a garbage collection does on the thread a Python port or log
// line runs on; optionally it stops the manager there first.
struct LastHandle {
    std::mutex mutex;
    std::shared_ptr<SerialManager> handle;
    bool stop_first = false;

    void drop() {
        std::shared_ptr<SerialManager> last;
        {
            const std::lock_guard lock(mutex);
            last = std::move(handle);
        }
        if (last && stop_first) last->stop();
    }
};

class DroppingPort final : public FakePort {
  public:
    DroppingPort(std::shared_ptr<LastHandle> host, bool drop)
        : host_(std::move(host)), drop_(drop) {}
    std::size_t in_waiting() override {
        if (drop_) host_->drop();
        return FakePort::in_waiting();
    }

  private:
    std::shared_ptr<LastHandle> host_;
    bool drop_;
};

class DroppingRoutes final : public RouteTable {
  public:
    explicit DroppingRoutes(std::shared_ptr<LastHandle> host) : host_(std::move(host)) {}
    std::shared_ptr<ReplySlots> slots_at(std::size_t /*position*/) override {
        host_->drop();
        return nullptr;
    }
    std::vector<std::shared_ptr<ReplySlots>> known_slots() override { return {}; }

  private:
    std::shared_ptr<LastHandle> host_;
};

struct LastHandleCase {
    const char* name;
    bool on_distributor;
    bool stop_first;
};

class LastHandleOnALoop : public ::testing::TestWithParam<LastHandleCase> {};

INSTANTIATE_TEST_SUITE_P(Loops, LastHandleOnALoop,
                         ::testing::Values(LastHandleCase{"io", false, false},
                                           LastHandleCase{"io_after_stop", false, true},
                                           LastHandleCase{"distributor", true, false},
                                           LastHandleCase{"distributor_after_stop", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(LastHandleOnALoop, IsTornDownOnAThreadOfItsOwn) {
    // A sanitizer's runtime starts a thread of its own with the process's
    // first thread; let that happen before the count is taken.
    std::thread([] {}).join();
    const auto threads = threads_at_rest();
    const auto host = std::make_shared<LastHandle>();
    host->stop_first = GetParam().stop_first;
    const auto port = std::make_shared<DroppingPort>(host, !GetParam().on_distributor);
    const auto reaper = std::make_shared<Reaper>();
    auto handle = SerialManager::start(port, std::make_shared<DroppingRoutes>(host),
                                       std::make_shared<RecordingLog>(), {}, reaper);
    const std::weak_ptr<SerialManager> watched = handle;
    {
        const std::lock_guard lock(host->mutex);
        host->handle = std::move(handle);
    }
    port->feed("I1 OK\n");  // for the distributor to route
    ASSERT_TRUE(eventually([&] { return watched.expired(); }));
    // The handle counts as expired a moment before its deleter hands the
    // teardown over, so the closed port is what says the handover happened.
    EXPECT_TRUE(eventually([&] { return !port->is_open(); }));
    reaper->drain();
    EXPECT_EQ(reaper->pending(), 0U);
    EXPECT_TRUE(eventually([&] { return entries_in("/proc/self/task") == threads; }))
        << entries_in("/proc/self/task") << " threads, " << threads << " before";
}

}  // namespace
}  // namespace orvak
