#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvak/instrument.hpp"
#include "orvak/posix_serial_port.hpp"
#include "orvak/serial_manager.hpp"
#include "pty_pair.hpp"

namespace orvak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view move_cable =
    " \xE2\x80\x94 move the USB cable to the FIRST instrument in the chain (the LEADER) and "
    "reconnect. Leadership is not reassignable over the wire: it moves only by re-cabling and "
    "connecting USB to the intended head.";

class SilentLog final : public LogSink {
  public:
    [[nodiscard]] bool enabled(LogLevel /*level*/) const override { return false; }
    void log(LogLevel /*level*/, std::string_view /*pattern*/, std::vector<std::string> /*args*/,
             std::exception_ptr /*error*/) override {}
};

// A driver with short time-outs and constants the test can change.
class TestInstrument : public Instrument {
  public:
    explicit TestInstrument(int number = 0) {
        name = "X";
        instrument_number = number;
    }
    void resolve_constants(std::span<ConstantRequest> requests) const override {
        for (auto& request : requests) {
            if (const auto found = constants.find(request.name); found != constants.end()) {
                request.value = found->second;
            }
        }
    }
    std::map<std::string, ConstantValue, std::less<>> constants{{"OK_TIMEOUT", 0.2},
                                                                {"DONE_TIMEOUT", 0.3}};
};

// The instrument's end of a real chain: a serial manager on a pseudo-terminal
// whose far end answers each command line by the first rule it contains.
class Chain {
  public:
    using Rule = testing::ScriptedFarEnd::Rule;

    explicit Chain(Instrument& inst, std::vector<Rule> rules = {}) : far_end_(std::move(rules)) {
        std::vector<std::shared_ptr<ReplySlots>> slots;
        for (int i = 0; i < inst.instrument_number; ++i) {
            slots.push_back(std::make_shared<ReplySlots>());
        }
        slots.push_back(inst.slots());
        manager_ = std::make_shared<SerialManager>(
            PosixSerialPort::adopt(far_end_.release_slave(), "pty"),
            std::make_shared<FixedRoutes>(std::move(slots)), std::make_shared<SilentLog>());
        inst.attach(manager_);
    }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    ~Chain() {
        far_end_.stop();
        manager_->stop();
    }

    [[nodiscard]] SerialManager& manager() const { return *manager_; }
    [[nodiscard]] std::vector<std::string> received() const { return far_end_.received(); }

  private:
    testing::ScriptedFarEnd far_end_;
    std::shared_ptr<SerialManager> manager_;
};

// Waits (bounded) until the far end has seen `count` command lines.
bool received_lines(const Chain& chain, std::size_t count) {
    const auto deadline = Clock::now() + 2s;
    while (chain.received().size() < count) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// What an action gave back, or the kind and message of the error it threw.
std::string outcome(const std::function<std::string()>& action) {
    static constexpr const char* kinds[] = {"error",    "timeout",  "connection",  "rejected",
                                            "position", "hardware", "unsupported", "value"};
    try {
        return action();
    } catch (const Error& error) {
        return std::string(kinds[static_cast<int>(error.kind())]) + ": " + error.what();
    }
}

std::string returned(const std::function<void()>& action) {
    return outcome([&] {
        action();
        return std::string("(returned)");
    });
}

TEST(Instrument, SendCommandAddressesEveryLine) {
    TestInstrument inst(2);
    Chain chain(inst);
    EXPECT_EQ(returned([&] {
                  inst.send_command({"G0 X1", "M1\nM2"});
              }),
              "value: X: a command must be a single line (got 'M1\\nM2').");
    EXPECT_THROW(inst.send_command({"M1\r"}), ValueError);
    inst.send_command({"M116", "G0 X1.5"});
    ASSERT_TRUE(received_lines(chain, 2));
    // A refused command would have been sent first.
    EXPECT_EQ(chain.received(), (std::vector<std::string>{"<I3 M116>", "<I3 G0 X1.5>"}));
}

TEST(Instrument, WaitForOkReadsTheVerdict) {
    const struct {
        const char* reply;
        bool ok;
        std::optional<std::string> bad;
    } cases[] = {
        {"I1 OK\r\n", true, {}},
        {"I1 BAD 0x1F3  \r\n", false, "BAD 0x1F3"},
        {"I1 OK BAD\r\n", false, "OK BAD"},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        TestInstrument inst;
        Chain chain(inst, {{"M1", c.reply}});
        inst.last_bad_reply = "stale";
        inst.send_command({"M1"});
        EXPECT_EQ(inst.wait_for_ok(), c.ok);
        EXPECT_EQ(inst.last_bad_reply, c.bad);
    }
}

TEST(Instrument, RequireOkExplainsEveryFailure) {
    const struct {
        const char* reply;
        std::string expected;
    } cases[] = {
        {"I1 OK\r\n", "(returned)"},
        {"I1 BAD 0x1F3\r\n", "rejected: X: firmware rejected command with error 0x1f3."},
        {"I1 BAD\r\n", "rejected: X: firmware rejected command."},
        {"I1 BAD 0x10A\r\n",
         "connection: X: a command for the LEADER arrived on a FOLLOWER's USB port" +
             std::string(move_cable)},
        {"", "timeout: X: no reply to command within 0.2s."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        TestInstrument inst;
        Chain chain(inst, {{"M1", c.reply}});
        inst.send_command({"M1"});
        EXPECT_EQ(returned([&] { inst.require_ok(); }), c.expected);
    }

    TestInstrument inst;
    Chain chain(inst, {{"M1", "I1 BAD 0x1F3 \r\n"}});
    inst.send_command({"M1"});
    try {
        inst.require_ok();
        ADD_FAILURE() << "accepted";
    } catch (const CommandRejectedError& error) {
        EXPECT_EQ(error.code(), "0x1f3");
        EXPECT_EQ(error.reply(), "BAD 0x1F3");
    }
}

TEST(Instrument, HomeRequiredRefusalNamesWhatToHome) {
    const auto refused = [](std::string_view noun) {
        return "position: X: position is not established \xE2\x80\x94 home " + std::string(noun) +
               " before moving (firmware refused the move with 0x210).";
    };
    const struct {
        const char* reply;
        std::optional<std::string> noun;
        std::string expected;
    } cases[] = {
        {"I1 BAD 0x210\r\n", "the valve", refused("the valve")},
        {"I1 BAD 0x210\r\n", std::nullopt, refused("X")},
        {"I1 BAD 0x211\r\n", "the valve",
         "rejected: X: firmware rejected command with error 0x211."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        TestInstrument inst;
        inst.constants["_HOME_REQUIRED_CODE"] = std::string("0x210");
        if (c.noun) inst.constants["_HOME_REQUIRED_NOUN"] = *c.noun;
        Chain chain(inst, {{"G0", c.reply}});
        inst.send_command({"G0 X1"});
        EXPECT_EQ(returned([&] { inst.require_ok_or_home_required(); }), c.expected);
    }
}

TEST(Instrument, WaitForDoneReportsFaultsAndRefusals) {
    const struct {
        const char* reply;
        std::string expected;
    } cases[] = {
        {"I1 OK\r\nI1 DONE\r\n", "(returned)"},
        {"I1 NOTOK motor 1 \r\n",
         "hardware: X: hardware fault during motion \xE2\x80\x94 stepper/TMC5160 reported NOTOK "
         "('NOTOK motor 1')."},
        {"I1 OK\r\nI1 BAD 0x305\r\n",
         "rejected: X: firmware refused the operation while it was running with error 0x305."},
        {"I1 OK\r\n",
         "timeout: X: no DONE within 0.3s (operation may still be running, or the serial "
         "connection was lost)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        TestInstrument inst;
        Chain chain(inst, {{"G1", c.reply}});
        inst.send_command({"G1 X5"});
        EXPECT_EQ(returned([&] { inst.wait_for_done(); }), c.expected);
        EXPECT_FALSE(inst.has_fault());
    }
}

TEST(Instrument, DoneDeadlineCoversTheOperationsOwnEstimate) {
    // DONE_TIMEOUT, estimate (none: no operation) -> the deadline in force.
    const struct {
        double done_timeout;
        std::optional<double> estimate;
        double deadline;
    } cases[] = {
        {0.3, std::nullopt, 0.3}, {120.0, 150.0, 235.0},
        {120.0, 60.0, 120.0},     {0.3, 1.0, 11.5},
        {300.0, 150.0, 300.0},    {120.0, std::numeric_limits<double>::infinity(), 120.0},
    };
    for (const auto& c : cases) {
        TestInstrument inst;
        inst.constants["DONE_TIMEOUT"] = c.done_timeout;
        std::optional<Instrument::OperationScope> scope;
        if (c.estimate) scope.emplace(inst, Instrument::Operation{"run", c.estimate, {}, false});
        EXPECT_DOUBLE_EQ(inst.done_deadline(), c.deadline);
    }
    // An explicit time-out is kept as given, and the message names the one in force.
    TestInstrument inst;
    Chain chain(inst, {{"G1", "I1 OK\r\n"}});
    const auto scope = inst.begin_operation("run", 0.0);
    inst.send_command({"G1 X5"});
    EXPECT_EQ(returned([&] { inst.wait_for_done(0.2); }),
              "timeout: X: no DONE within 0.2s (operation may still be running, or the serial "
              "connection was lost).");
}

TEST(Instrument, DoneWaitEndsEarlyWhenTheLinkEnds) {
    for (const bool unplugged : {true, false}) {
        SCOPED_TRACE(unplugged ? "unplugged" : "stopped");
        TestInstrument inst;
        Chain chain(inst, {{"G1", "", true}});
        if (unplugged) {
            inst.send_command({"G1 X5"});
        } else {
            chain.manager().stop();
        }
        const auto started = Clock::now();
        EXPECT_EQ(returned([&] { inst.wait_for_done(30.0); }),
                  unplugged ? "connection: X: serial connection was lost while waiting for DONE "
                              "(operation may still be running)."
                            : "timeout: X: no DONE within 30.0s (operation may still be running, "
                              "or the serial connection was lost).");
        EXPECT_LT(Clock::now() - started, 5s);
    }
}

TEST(Instrument, IdentifyParsesTheTypeCode) {
    const struct {
        const char* reply;
        std::string expected;
    } cases[] = {
        {"I1 ID 42\r\n", "42"},
        {"I1 -1\r\n", "-1"},
        {"I1  garbage \r\n", "value: X: unexpected M116 reply: 'garbage'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        TestInstrument inst;
        Chain chain(inst, {{"M116", c.reply}});
        EXPECT_EQ(outcome([&] { return std::to_string(inst.identify(1.0)); }), c.expected);
        EXPECT_EQ(chain.received(), std::vector<std::string>{"<I1 M116>"});
    }
}

TEST(Instrument, HomedAxesAsksForEveryAxis) {
    TestInstrument inst;
    EXPECT_EQ(returned([&] { inst.homed_axes(); }),
              "unsupported: Instrument has no position-truth interlock (no datum to home).");

    inst.constants["_HOME_REQUIRED_CODE"] = std::string("0x210");
    inst.all_axes = {"X", "Y"};
    Chain chain(inst, {{"M304", "I1 X HOMED:1 y homed: 0\r\n"}});
    EXPECT_EQ(inst.homed_axes(1.0),
              (std::vector<std::pair<std::string, bool>>{{"X", true}, {"Y", false}}));
    EXPECT_EQ(chain.received(), std::vector<std::string>{"<I1 M304 X Y>"});
}

TEST(Instrument, IsLeaderNeedsAVersionAndNoLeadershipFault) {
    const struct {
        const char* reply;
        bool leader;
    } cases[] = {
        {"I1 Orvak v1.2.3\r\n", true},
        {"I1 v1.2.3 but not the LEADER\r\n", false},
        {"I1 no version here\r\n", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        TestInstrument inst;
        Chain chain(inst, {{"M115", c.reply}});
        EXPECT_EQ(inst.is_leader(0.2), c.leader);
    }
}

TEST(Instrument, FirmwareVersionIsBestEffortAndCached) {
    TestInstrument inst;
    EXPECT_EQ(inst.get_firmware_version(0.05), std::nullopt);

    Chain chain(inst, {{"M115", "I1  v1.0.0 \r\n"}});
    EXPECT_EQ(inst.get_firmware_version(1.0), "v1.0.0");
    chain.manager().stop();
    EXPECT_EQ(inst.get_firmware_version(0.05), "v1.0.0");
}

TEST(Instrument, BaseControlsAreNotSupported) {
    Instrument inst;
    const std::pair<const char*, std::function<void()>> controls[] = {
        {"stop()", [&] { inst.stop(); }},
        {"resume()", [&] { inst.resume(); }},
        {"reset()", [&] { inst.reset(); }},
        {"stop()", [&] { inst.abort(); }},
        {"stop()", [&] { inst.pause(); }},
        {"check_position()", [&] { inst.check_position_unsupported(); }},
    };
    for (const auto& [method, control] : controls) {
        EXPECT_EQ(returned(control),
                  std::string("unsupported: Instrument does not implement ") + method);
    }
}

TEST(Instrument, InterruptStopsTheInstrumentOnceAndPropagates) {
    struct UserInterrupt final : Interrupted {};
    struct InterruptedInstrument final : TestInstrument {
        int checks = 0;
        int stops = 0;
        void check_interrupt() override {
            if (++checks == 3) throw UserInterrupt();
        }
        void stop() override {
            ++stops;
            throw std::runtime_error("stop failed");
        }
    };
    InterruptedInstrument inst;
    inst.constants["OK_TIMEOUT"] = 30.0;
    Chain chain(inst);
    const auto started = Clock::now();
    EXPECT_THROW(static_cast<void>(inst.wait_for_ok()), UserInterrupt);
    EXPECT_LT(Clock::now() - started, 5s);
    EXPECT_EQ(inst.checks, 3);
    EXPECT_EQ(inst.stops, 1);
}

}  // namespace
}  // namespace orvak
