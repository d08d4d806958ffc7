#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "orvak/instruments/rotary_valve.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {
namespace {

// Answers each line at once, routing the replies into the valve's slots.
class AnsweringLink final : public Link {
  public:
    explicit AnsweringLink(std::shared_ptr<ReplySlots> slots) : slots_(std::move(slots)) {}
    void send_line(std::string line) override {
        lines.push_back(line);
        for (const auto& reply : replies) {
            using enum grammar::ReplyKind;
            const auto kind = grammar::classify(reply);
            auto& slot = kind == ok ? slots_->ok : kind == done ? slots_->done : slots_->position;
            slot.deliver(reply);
        }
    }
    bool read_queue_empty() override { return true; }
    bool stop_requested() override { return false; }
    bool died() override { return false; }
    std::vector<std::string> lines;
    std::vector<std::string> replies{"OK", "DONE"};

  private:
    std::shared_ptr<ReplySlots> slots_;
};

class Valve final : public RotaryValveBase {
  public:
    Valve() : RotaryValveBase(2, kinds::of(2)) { attach(link); }
    void resolve_constants(std::span<ConstantRequest> requests) const override {
        RotaryValveBase::resolve_constants(requests);
        for (auto& request : requests) {
            if (const auto found = constants.find(request.name); found != constants.end()) {
                request.value = found->second;
            }
        }
    }
    std::map<std::string, ConstantValue, std::less<>> constants{{"OK_TIMEOUT", 0.1}};
    std::shared_ptr<AnsweringLink> link = std::make_shared<AnsweringLink>(slots());
};

TEST(RotaryValve, CommandLines) {
    const std::vector<std::string> rotations{"0.08333333333333333", "0.16666666666666666", "0.25",
                                             "0.3333333333333333",  "0.41666666666666663", "0.5",
                                             "0.5833333333333333",  "0.6666666666666666",  "0.75",
                                             "0.8333333333333333",  "0.9166666666666666"};
    for (int port = 2; port <= 12; ++port) {
        Valve valve;
        valve.select_port(port);
        EXPECT_EQ(valve.link->lines.at(0), "<I3 G0 X" + rotations.at(port - 2) + " W1>");
        EXPECT_EQ(valve.current_port, port);
    }
    Valve valve;
    valve.select_port(1);  // port 1 is reached by homing
    valve.home(false);
    valve.stop();
    valve.resume();
    valve.reset();
    EXPECT_EQ(valve.link->lines,
              (std::vector<std::string>{"<I3 G10 X W1>", "<I3 G10 X W0>", "<I3 G3 X0>",
                                        "<I3 G5 X0>", "<I3 G4 X>"}));
}

TEST(RotaryValve, RefusalsLeaveThePortUnknownOrUntouched) {
    Valve valve;
    valve.current_port = 4;
    EXPECT_THROW(valve.select_port(13), ValueError);
    EXPECT_TRUE(valve.link->lines.empty());
    EXPECT_EQ(valve.current_port, 4);
    valve.link->replies = {"BAD 0x210"};
    try {
        valve.select_port(5);
        FAIL() << "the home-required refusal was not raised";
    } catch (const PositionUnknownError& e) {
        EXPECT_STREQ(e.what(),
                     "Orvak Rotary Valve: position is not established \xE2\x80\x94 home the valve "
                     "before moving (firmware refused the move with 0x210).");
    }
    EXPECT_EQ(valve.current_port, std::nullopt);
}

TEST(RotaryValve, PositionRepliesReadAsPorts) {
    const std::vector<std::pair<std::string, int>> readings{
        {"POS X0.25 $$$", 4},     {"POS X 0.5 $$$\r", 7}, {"POS X0.9999 $$$", 1},
        {"POS X0.125 $$$", 3},    {"POS X0.375 $$$", 5},  {"POS X-0.04 $$$", 1},
        {"POS XY X+.75 $$$", 10}, {"POS X2.5e-1 $$$", 4}};
    for (const auto& [reply, port] : readings) {
        Valve valve;
        valve.link->replies = {reply};
        EXPECT_EQ(valve.check_position(), port) << reply;
        EXPECT_EQ(valve.link->lines, std::vector<std::string>{"<I3 M300 X>"});
        EXPECT_EQ(valve.current_port, port);
    }
    // Beyond one turn, negative, beyond the double range, no number after the axis.
    for (const auto& reply : std::vector<std::string>{"POS X1.05 $$$", "POS X-0.2 $$$",
                                                      "POS X1" + std::string(400, '0') + " $$$",
                                                      "POS X1e999 $$$", "POS X. Y0.5 $$$"}) {
        Valve valve;
        valve.current_port = 9;
        valve.link->replies = {reply};
        EXPECT_THROW(valve.check_position(), ValueError) << reply;
        EXPECT_EQ(valve.current_port, 9);
    }
}

TEST(RotaryValve, EstimatesCountPortStepsFromTheKnownPortOrTheMiddle) {
    Valve valve;
    EXPECT_DOUBLE_EQ(valve.estimate_run_time(12), 0.75);
    EXPECT_DOUBLE_EQ(valve.estimate_run_time(1), 0.625);
    valve.home();
    EXPECT_DOUBLE_EQ(valve.estimate_run_time(12), 1.375);
    EXPECT_DOUBLE_EQ(valve.estimate_run_time(13), 1.5);  // off the dial: still the difference
    EXPECT_DOUBLE_EQ(valve.estimated_run_time, 1.5);
    EXPECT_DOUBLE_EQ(valve.estimate_home_time(), 6.0);
    valve.constants["HOME_TIME_FLOOR_S"] = 0.1;
    valve.constants["RUN_SPEED_RPM"] = 10LL;
    EXPECT_DOUBLE_EQ(valve.estimate_home_time(), 0.5);  // never less than one step
    valve.current_port = 12;
    EXPECT_DOUBLE_EQ(valve.estimate_home_time(), 5.5);
    EXPECT_EQ(valve.estimated_home_time, 5.5);
    valve.constants["RUN_SPEED_RPM"] = 0LL;
    try {
        valve.estimate_home_time();
        FAIL() << "a zero speed was accepted";
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "Speed of Orvak Rotary Valve set to 0.");
    }
    EXPECT_EQ(valve.estimated_home_time, 5.5);
    valve.constants["RUN_SPEED_RPM"] = std::string("fast");
    EXPECT_THROW(valve.estimate_run_time(3), ArgumentTypeError);
    valve.constants["NUM_PORTS"] = 0LL;
    EXPECT_THROW(valve.check_position(), ValueError);
}

}  // namespace
}  // namespace orvak
