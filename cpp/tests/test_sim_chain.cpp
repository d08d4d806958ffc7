#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/posix_serial_port.hpp"
#include "orvak/pytext.hpp"
#include "orvak/serial_manager.hpp"
#include "orvak/sim/chain.hpp"
#include "orvak/sim/pty_server.hpp"

namespace orvak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string wire(int address, std::string_view command) {
    return "<I" + std::to_string(address) + " " + std::string(command) + ">\n";
}

bool readable(int fd, Clock::duration timeout) {
    pollfd entry{fd, POLLIN, 0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    return ::poll(&entry, 1, static_cast<int>(ms)) > 0;
}

std::string drain(Port& port) {
    std::string out;
    while (const std::size_t waiting = port.in_waiting()) out += port.read(waiting);
    return out;
}

// Reply lines (without CR LF) until `count` have arrived or `limit` has passed.
std::vector<std::string> collect(Port& port, std::size_t count, Clock::duration limit = 2s) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::string> lines;
    std::string buffer;
    while (lines.size() < count && readable(port.readiness_fd(), deadline - Clock::now())) {
        buffer += drain(port);
        for (auto end = buffer.find("\r\n"); end != std::string::npos; end = buffer.find("\r\n")) {
            lines.push_back(buffer.substr(0, end));
            buffer.erase(0, end + 2);
        }
    }
    return lines;
}

double position(const sim::Chain& chain, int address) {
    return chain.state(address).axes.at(0).position;
}

bool homed(const sim::Chain& chain, int address) { return chain.state(address).axes.at(0).homed; }

struct Bench {
    explicit Bench(std::vector<long long> codes, double scale = 0.0)
        : chain(codes, scale), port(chain.open_port()) {}

    // What the chain answers at once (time scale 0).
    std::string exchange(int address, std::string_view command) {
        port->write(wire(address, command));
        return drain(*port);
    }
    std::vector<std::string> ask(int address, std::string_view command, std::size_t replies,
                                 Clock::duration limit = 2s) {
        port->write(wire(address, command));
        return collect(*port, replies, limit);
    }
    void home(int address) {
        const double scale = chain.time_scale();
        chain.set_time_scale(0.0);
        ASSERT_EQ(exchange(address, "G10 X W1"), "I" + std::to_string(address) + " OK\r\nI" +
                                                     std::to_string(address) + " DONE\r\n");
        chain.set_time_scale(scale);
    }

    sim::Chain chain;
    std::shared_ptr<sim::SimPort> port;
};

using Lines = std::vector<std::string>;

// ---- base firmware ----

TEST(SimBaseFirmware, AnswersIdentityVersionAndHomedFlags) {
    Bench bench({2, 40});
    EXPECT_EQ(bench.exchange(1, "M116"), "I1 2\r\n");
    EXPECT_EQ(bench.exchange(2, "M116"), "I2 40\r\n");
    EXPECT_EQ(bench.exchange(1, "M115"), "I1 v2.4.1\r\n");
    EXPECT_EQ(bench.exchange(2, "M115"), "I2 BAD 0x10a\r\n");
    EXPECT_EQ(bench.exchange(1, "M304 X Y"), "I1 X HOMED:0 Y HOMED:0\r\n");
    EXPECT_EQ(bench.exchange(2, "M304 Z"), "I2 Z HOMED:0\r\n");
    bench.home(1);
    EXPECT_EQ(bench.exchange(1, "M304 X"), "I1 X HOMED:1\r\n");
    EXPECT_EQ(bench.exchange(1, "M999"), "I1 BAD 0x100\r\n");
    // Kinds without motion firmware refuse motion as unknown commands.
    EXPECT_EQ(bench.exchange(2, "G10 X W1"), "I2 BAD 0x100\r\n");
    EXPECT_EQ(bench.exchange(2, "M300 X"), "I2 BAD 0x100\r\n");
}

TEST(SimBaseFirmware, IgnoresLinesNotAddressedToAModule) {
    Bench bench({2});
    for (const char* line : {"M116\n", "<I9 M116>\n", "<I0 M116>\n", "<I1M116>\n", "<I1 >\n",
                             "<X1 M116>\n", "<I1 M116\n"}) {
        EXPECT_EQ((bench.port->write(line), drain(*bench.port)), "") << line;
    }
    EXPECT_TRUE(bench.chain.state(1).commands.empty());
    // A command may arrive in pieces.
    bench.port->write("<I1 M1");
    EXPECT_EQ(drain(*bench.port), "");
    bench.port->write("16>\r\n");
    EXPECT_EQ(drain(*bench.port), "I1 2\r\n");
    EXPECT_EQ(bench.chain.state(1).commands, Lines{"M116"});
}

TEST(SimBaseFirmware, RefusesMalformedArguments) {
    Bench bench({6});
    for (const char* command : {"G0 X", "G0 Q0.5", "G0 X0.5 W2", "G0 Xabc", "G0 X0.1 X0.2", "G0 W1",
                                "G0 Xnan", "G10 X W", "M300 Y", "G4 X1.5.2", "M304 XY"}) {
        EXPECT_EQ(bench.exchange(1, command), "I1 BAD 0x101\r\n") << command;
    }
}

TEST(SimBaseFirmware, RejectsUnknownTypeCodesAndBadArguments) {
    EXPECT_THROW(sim::Chain(std::vector<long long>{2, 0}), ValueError);
    EXPECT_THROW(sim::Chain(std::vector<long long>{65536}), ValueError);
    EXPECT_THROW(sim::Chain(std::vector<long long>{2}, -1.0), ValueError);
    sim::Chain chain(std::vector<long long>{2});
    EXPECT_THROW(chain.set_time_scale(std::numeric_limits<double>::infinity()), ValueError);
    EXPECT_THROW(chain.swallow_next(2), ValueError);
    EXPECT_THROW(static_cast<void>(chain.module(0)), ValueError);
    EXPECT_THROW(chain.refuse_next(1, "210"), ValueError);
    EXPECT_THROW(chain.inject_notok(1, "NOTOK\r\nI1 DONE"), ValueError);
}

// ---- motion firmware ----

TEST(SimMotion, HomeInterlockAndOkThenDoneAtScaleZero) {
    Bench bench({17});
    EXPECT_EQ(bench.exchange(1, "G0 X0.25 W1"), "I1 BAD 0x210\r\n");
    EXPECT_EQ(bench.exchange(1, "M300 X"), "I1 POS X0.0 $$$\r\n");
    EXPECT_EQ(bench.exchange(1, "G10 X W1"), "I1 OK\r\nI1 DONE\r\n");
    EXPECT_TRUE(homed(bench.chain, 1));
    EXPECT_EQ(bench.exchange(1, "G0 X0.25 W1"), "I1 OK\r\nI1 DONE\r\n");
    EXPECT_EQ(bench.exchange(1, "M300 X"), "I1 POS X0.25 $$$\r\n");
    EXPECT_EQ(bench.exchange(1, "G0 X1 W1"), "I1 BAD 0x202\r\n");
    EXPECT_EQ(bench.exchange(1, "G0 X-0.1 W1"), "I1 BAD 0x202\r\n");
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 0.25);
}

TEST(SimMotion, DoneFollowsAfterTheScaledDuration) {
    Bench bench({2}, 0.05);  // homing from 0 takes the 6 s floor: 0.3 s here
    const auto start = Clock::now();
    EXPECT_EQ(bench.ask(1, "G10 X W1", 1), Lines{"I1 OK"});
    EXPECT_LT(Clock::now() - start, 200ms);
    EXPECT_TRUE(bench.chain.state(1).moving);
    EXPECT_EQ(collect(*bench.port, 1, 3s), Lines{"I1 DONE"});
    EXPECT_GE(Clock::now() - start, 290ms);
    EXPECT_FALSE(bench.chain.state(1).moving);

    // 0 -> 0.8 rotations at 40 rpm is 1.2 s; mid-way the position is interpolated.
    bench.chain.set_time_scale(0.25);
    EXPECT_EQ(bench.ask(1, "G0 X0.8 W1", 1), Lines{"I1 OK"});
    std::this_thread::sleep_for(100ms);
    const double mid = position(bench.chain, 1);
    EXPECT_GT(mid, 0.0);
    EXPECT_LT(mid, 0.8);
    const auto report = bench.ask(1, "M300 X", 1);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_NE(report[0].find("$$$"), std::string::npos);
    EXPECT_NE(report[0], "I1 POS X0.8 $$$");
    EXPECT_EQ(collect(*bench.port, 1, 3s), Lines{"I1 DONE"});
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 0.8);
}

TEST(SimMotion, HaltKeepsTheTargetForResume) {
    Bench bench({2});
    bench.home(1);
    EXPECT_EQ(bench.exchange(1, "G5 X0"), "I1 OK\r\n");  // nothing halted
    bench.chain.set_time_scale(0.25);
    EXPECT_EQ(bench.ask(1, "G0 X0.8 W1", 1), Lines{"I1 OK"});
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(bench.ask(1, "G3 X0", 1), Lines{"I1 OK"});
    const double halted = position(bench.chain, 1);
    EXPECT_GT(halted, 0.0);
    EXPECT_LT(halted, 0.8);
    EXPECT_FALSE(bench.chain.state(1).moving);
    EXPECT_TRUE(collect(*bench.port, 1, 400ms).empty());  // the halted motion's DONE never comes
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), halted);

    EXPECT_EQ(bench.ask(1, "G5 X0", 2, 3s), (Lines{"I1 OK", "I1 DONE"}));
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 0.8);
}

TEST(SimMotion, RezeroClearsTheHomeAndIsRefusedWhileMoving) {
    Bench bench({2});
    bench.home(1);
    EXPECT_EQ(bench.exchange(1, "G0 X0.5 W1"), "I1 OK\r\nI1 DONE\r\n");
    EXPECT_EQ(bench.exchange(1, "G4 X"), "I1 OK\r\n");
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 0.0);
    EXPECT_FALSE(homed(bench.chain, 1));
    EXPECT_EQ(bench.exchange(1, "G0 X0.5 W1"), "I1 BAD 0x210\r\n");

    bench.chain.set_time_scale(1.0);
    EXPECT_EQ(bench.ask(1, "G10 X W0", 1), Lines{"I1 OK"});
    EXPECT_EQ(bench.ask(1, "G4 X", 1), Lines{"I1 BAD 0x201"});
    EXPECT_EQ(bench.ask(1, "G3 X0", 1), Lines{"I1 OK"});
}

TEST(SimMotion, WaitedMotionMakesTheModuleBusy) {
    Bench bench({2}, 1.0);
    EXPECT_EQ(bench.ask(1, "G10 X W1", 1), Lines{"I1 OK"});
    EXPECT_EQ(bench.ask(1, "G10 X W1", 1), Lines{"I1 BAD 0x201"});
    EXPECT_EQ(bench.ask(1, "G0 X0.5 W0", 1), Lines{"I1 BAD 0x201"});
    EXPECT_EQ(bench.ask(1, "M116", 1), Lines{"I1 2"});
    EXPECT_EQ(bench.ask(1, "M304 X", 1), Lines{"I1 X HOMED:0"});
    EXPECT_EQ(bench.ask(1, "G3 X0", 1), Lines{"I1 OK"});
    EXPECT_EQ(bench.chain.state(1).commands,
              (Lines{"G10 X W1", "G10 X W1", "G0 X0.5 W0", "M116", "M304 X", "G3 X0"}));
}

TEST(SimMotion, UnwaitedMotionIsSupersededFromWhereItGot) {
    Bench bench({2});
    bench.home(1);
    bench.chain.set_time_scale(0.25);
    EXPECT_EQ(bench.ask(1, "G0 X0.8 W0", 1), Lines{"I1 OK"});
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(bench.ask(1, "G0 X0.1 W0", 1), Lines{"I1 OK"});
    EXPECT_EQ(collect(*bench.port, 2, 800ms), Lines{"I1 DONE"});  // one DONE, the second motion's
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 0.1);
}

// ---- faults ----

// ---- piston pump firmware ----

TEST(SimPistonPump, SpeedRegisterValvePathAndInterlock) {
    Bench bench({4, 12});
    // One script over both builds: (address, command, reply).
    const std::vector<std::tuple<int, std::string_view, std::string_view>> script{
        {1, "G7 X500.0 W1", "BAD 0x210"},  // before a home
        {1, "G11 X W1", "OK\r\nI1 DONE"},
        {1, "G7 X500.0 W1", "BAD 0x301"},  // no valve configured or energised
        {1, "G32 0", "OK"},                // energises nothing: no valve configured
        {1, "G7 X500.0 W1", "BAD 0x301"},
        {1, "G31 X1 Y1", "BAD 0x101"},  // both ports at once
        {1, "G31 X1 Z0", "BAD 0x101"},
        {1, "G32 1", "BAD 0x101"},
        {1, "M302", "POS VALVES 0 $$$"},
        {1, "G31 X0 Y1", "OK"},
        {1, "M302", "POS VALVES 2 $$$"},
        {1, "G2 X0", "BAD 0x101"},
        {1, "G2 X54000.1", "BAD 0x204"},  // the 1 ml head's rating
        {1, "G2 X54000.0", "OK"},
        {1, "G7 X1000.1 W1", "BAD 0x202"},
        {1, "G7 X1000.0 W1", "OK\r\nI1 DONE"},
        {1, "M300 X", "POS X1000.0 $$$"},
        {1, "G33 0", "OK"},
        {1, "M302", "POS VALVES 0 $$$"},
        {1, "G7 X0.0 W1", "BAD 0x301"},
        {1, "G4 X", "OK"},  // re-zero re-arms the interlock
        {1, "M300 X", "POS X0.0 $$$"},
        {1, "G32 0", "OK"},
        {1, "G7 X10.0 W1", "BAD 0x210"},
        {2, "G2 X200000.0", "OK"},
        {2, "G2 X200000.1", "BAD 0x204"},  // the 5 ml motor stalls above this
        {1, "G10 X W1", "BAD 0x100"},
        {1, "G0 X1.0 W1", "BAD 0x100"},
    };
    for (const auto& [address, command, reply] : script) {
        const std::string prefix = "I" + std::to_string(address) + " ";
        EXPECT_EQ(bench.exchange(address, command), prefix + std::string(reply) + "\r\n")
            << command;
    }
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 0.0);
}

TEST(SimPistonPump, StrokeLastsVolumeOverSpeed) {
    Bench bench({16});
    for (const char* command : {"G11 X W1", "G31 X1 Y0", "G32 0", "G2 X3000.0"}) {
        bench.exchange(1, command);
    }
    bench.chain.set_time_scale(0.5);
    // 50 µl at 3000 µl/min is 1 s, halved by the time scale.
    const auto start = Clock::now();
    EXPECT_EQ(bench.ask(1, "G7 X50.0 W1", 1), Lines{"I1 OK"});
    EXPECT_EQ(collect(*bench.port, 1, 3s), Lines{"I1 DONE"});
    EXPECT_GE(Clock::now() - start, 490ms);
    EXPECT_DOUBLE_EQ(position(bench.chain, 1), 50.0);
}

TEST(SimFaults, RefusedAndSwallowedCommandsHaveNoEffect) {
    Bench bench({2, 6});
    bench.chain.refuse_next(1, "0x2A1");
    bench.chain.swallow_next(2);
    bench.chain.swallow_next(2);
    EXPECT_EQ(bench.exchange(1, "G10 X W1"), "I1 BAD 0x2a1\r\n");
    EXPECT_EQ(bench.exchange(2, "G10 X W1"), "");
    EXPECT_EQ(bench.exchange(2, "M116"), "");
    EXPECT_FALSE(homed(bench.chain, 1));
    EXPECT_FALSE(homed(bench.chain, 2));
    EXPECT_EQ(bench.exchange(2, "M116"), "I2 6\r\n");
    EXPECT_EQ(bench.chain.state(2).commands, (Lines{"G10 X W1", "M116", "M116"}));
}

TEST(SimFaults, LateRefusalAbortsHalfway) {
    Bench bench({2});
    bench.chain.late_refusal_next(1, "0x2b0");
    EXPECT_EQ(bench.exchange(1, "G10 X W1"), "I1 OK\r\nI1 BAD 0x2b0\r\n");
    EXPECT_FALSE(homed(bench.chain, 1));
    EXPECT_FALSE(bench.chain.state(1).moving);

    bench.home(1);
    bench.chain.set_time_scale(0.25);  // 0.8 rotations: 0.3 s, refused after 0.15 s
    bench.chain.late_refusal_next(1, "0x2b0");
    const auto start = Clock::now();
    EXPECT_EQ(bench.ask(1, "G0 X0.8 W1", 2, 3s), (Lines{"I1 OK", "I1 BAD 0x2b0"}));
    EXPECT_GE(Clock::now() - start, 140ms);
    EXPECT_NEAR(position(bench.chain, 1), 0.4, 1e-9);
    EXPECT_TRUE(collect(*bench.port, 1, 300ms).empty());
}

TEST(SimFaults, UnpromptedAndRawOutput) {
    Bench bench({2, 6});
    bench.chain.inject_notok(2);
    bench.chain.inject_notok(1, "NOTOK stall");
    bench.chain.inject_garbage(std::string("\xff\xfejunk\r\n", 8));
    EXPECT_EQ(drain(*bench.port),
              std::string("I2 NOTOK motor 1\r\nI1 NOTOK stall\r\n\xff\xfejunk\r\n"));
}

TEST(SimFaults, SplitReplyArrivesInTwoReads) {
    Bench bench({2});
    bench.chain.split_next_reply();
    bench.port->write(wire(1, "M115"));
    const std::size_t first = bench.port->in_waiting();
    ASSERT_GT(first, 0u);
    ASSERT_LT(first, std::string("I1 v2.4.1\r\n").size());
    EXPECT_EQ(bench.port->in_waiting(), first);
    const std::string head = bench.port->read(100);
    EXPECT_TRUE(readable(bench.port->readiness_fd(), 0ms));
    EXPECT_EQ(head + drain(*bench.port), "I1 v2.4.1\r\n");
    EXPECT_EQ(bench.exchange(1, "M116"), "I1 2\r\n");  // only the next reply is split
}

TEST(SimFaults, UnplugFailsEveryPortCallButClose) {
    Bench bench({2});
    bench.chain.unplug();
    EXPECT_TRUE(bench.port->is_open());
    EXPECT_TRUE(readable(bench.port->readiness_fd(), 0ms));
    EXPECT_THROW(bench.port->write(wire(1, "M116")), PortError);
    EXPECT_THROW(static_cast<void>(bench.port->in_waiting()), PortError);
    EXPECT_THROW(static_cast<void>(bench.port->read(1)), PortError);
    EXPECT_NO_THROW(bench.port->close());
    EXPECT_THROW(static_cast<void>(bench.chain.open_port()->in_waiting()), PortError);
}

// ---- the readiness descriptor ----

TEST(SimReadiness, ReadableOnlyForOutputOrDueReplies) {
    Bench bench({2}, 0.05);
    const int fd = bench.port->readiness_fd();
    EXPECT_FALSE(readable(fd, 0ms));
    bench.port->write(wire(1, "G10 X W1"));
    EXPECT_TRUE(readable(fd, 0ms));
    EXPECT_EQ(drain(*bench.port), "I1 OK\r\n");
    EXPECT_FALSE(readable(fd, 100ms));  // the DONE is not due before 0.3 s
    EXPECT_TRUE(readable(fd, 2s));
    EXPECT_EQ(drain(*bench.port), "I1 DONE\r\n");
    EXPECT_FALSE(readable(fd, 100ms));  // idle: no wake-ups
}

TEST(SimReadiness, AnotherLinkClosesTheFirst) {
    Bench bench({2});
    const auto second = bench.chain.open_port();
    EXPECT_FALSE(bench.port->is_open());
    EXPECT_TRUE(readable(bench.port->readiness_fd(), 0ms));  // its poller wakes to notice
    EXPECT_EQ(bench.exchange(1, "M116"), "");
    second->write(wire(1, "M116"));
    EXPECT_EQ(drain(*second), "I1 2\r\n");
    second->close();
    EXPECT_FALSE(second->is_open());
}

// ---- clients ----

TEST(SimClients, SerialManagerRoutesRepliesIntoSlots) {
    sim::Chain chain(std::vector<long long>{2, 40}, 0.05);
    std::vector<std::shared_ptr<ReplySlots>> slots{std::make_shared<ReplySlots>(),
                                                   std::make_shared<ReplySlots>()};
    SerialManager manager(chain.open_port(), std::make_shared<FixedRoutes>(slots));
    const auto take = [](ReplySlot& slot) {
        return std::string(text::strip(slot.get_for(3s).value_or("(nothing)")));
    };
    manager.send_line("<I2 M116>");
    EXPECT_EQ(take(slots[1]->other), "40");
    manager.send_line("<I1 G10 X W1>");
    EXPECT_EQ(take(slots[0]->ok), "OK");
    EXPECT_EQ(take(slots[0]->done), "DONE");
    manager.send_line("<I1 M300 X>");
    EXPECT_EQ(take(slots[0]->position), "POS X0.0 $$$");
    chain.inject_notok(1);
    EXPECT_EQ(take(slots[0]->notok), "NOTOK motor 1");
    chain.unplug();
    EXPECT_TRUE(manager.died_event().wait_for(2s));
    EXPECT_TRUE(slots[1]->other.empty());
}

TEST(SimClients, PtyServerServesANativePort) {
    sim::Chain chain(std::vector<long long>{2, 6});
    auto server = chain.serve_pty();
    PosixSerialPort port(server->path());
    port.write(wire(2, "M116") + wire(1, "G10 X W1"));
    EXPECT_EQ(collect(port, 3), (Lines{"I2 6", "I1 OK", "I1 DONE"}));
    chain.inject_garbage("\x01\x02\r\n");
    EXPECT_EQ(collect(port, 1), Lines{"\x01\x02"});

    server->unplug();
    EXPECT_FALSE(server->serving());
    EXPECT_THROW(collect(port, 1), PortError);
}

TEST(SimClients, PtyServerHangsUpWhenTheChainIsUnplugged) {
    sim::Chain chain(std::vector<long long>{2});
    auto server = chain.serve_pty();
    PosixSerialPort port(server->path());
    chain.unplug();
    const auto deadline = Clock::now() + 2s;
    while (server->serving() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(server->serving());
    EXPECT_THROW(collect(port, 1), PortError);
    server->close();
    server->close();
}

}  // namespace
}  // namespace orvak
