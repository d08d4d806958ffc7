#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "orvak/posix_serial_port.hpp"
#include "pty_pair.hpp"

namespace orvak {
namespace {

using namespace std::chrono_literals;
using testing::PtyPair;

// Bytes crossing a pty arrive asynchronously; wait (bounded) until they have.
std::size_t wait_waiting(Port& port, std::size_t want) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::size_t waiting = port.in_waiting();
    while (waiting < want && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        waiting = port.in_waiting();
    }
    return waiting;
}

std::size_t open_descriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const PortError& error) {
        return error.what();
    }
    return "(no PortError)";
}

TEST(PosixSerialPort, ExchangesBinaryBytesBothWays) {
    PtyPair pty;
    PosixSerialPort port(pty.slave_path(), 9600);
    ASSERT_TRUE(port.is_open());

    termios tio{};
    ASSERT_EQ(::tcgetattr(port.readiness_fd(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0U);

    const std::string out("ID?\0\x80\xff\r\n", 8);
    port.write(out);
    EXPECT_EQ(pty.read_far(out.size(), 2s), out);

    // Idle: a raw tty reads 0 bytes, which must not pass for a hang-up.
    EXPECT_EQ(port.in_waiting(), 0U);
    EXPECT_EQ(port.read(16), "");

    const std::string in("\x01\x00\xfe\x7f reply\n", 10);
    pty.write_far(in);
    pollfd ready{port.readiness_fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 2000), 1);
    EXPECT_EQ(wait_waiting(port, in.size()), in.size());
    EXPECT_EQ(port.read(4), in.substr(0, 4));
    EXPECT_EQ(port.in_waiting(), in.size() - 4);
    EXPECT_EQ(port.read(100), in.substr(4));
    EXPECT_EQ(port.in_waiting(), 0U);
}

TEST(PosixSerialPort, LargeWriteCompletesAcrossPartialWrites) {
    PtyPair pty;
    const auto port = PosixSerialPort::adopt(pty.release_slave(), "pty");
    std::string payload(256 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);

    std::string received;
    std::thread reader([&] { received = pty.read_far(payload.size(), 10s); });
    port->write(payload);
    reader.join();
    EXPECT_TRUE(received == payload) << received.size() << " of " << payload.size() << " bytes";
}

TEST(PosixSerialPort, WriteThatNeverDrainsTimesOut) {
    PtyPair pty;
    PosixSerialPort port(pty.slave_path());
    const std::string flood(4 * 1024 * 1024, 'x');
    EXPECT_NE(error_of([&] { port.write(flood); }).find("timed out"), std::string::npos);
}

TEST(PosixSerialPort, OpenFailuresNameTheCause) {
    EXPECT_EQ(error_of([] { PosixSerialPort("/dev/ttyNOSUCH9"); }),
              "could not open port /dev/ttyNOSUCH9: No such file or directory");
    PtyPair pty;
    EXPECT_NE(error_of([&] { PosixSerialPort(pty.slave_path(), 12345); }).find("12345"),
              std::string::npos);
    EXPECT_NE(error_of([] { PosixSerialPort::adopt(-1, "bad"); }).find("bad"), std::string::npos);
}

TEST(PosixSerialPort, ExclusiveLockKeepsOutASecondOpener) {
    PtyPair pty;
    {
        PosixSerialPort first(pty.slave_path());
        EXPECT_NE(error_of([&] { PosixSerialPort second(pty.slave_path()); }).find("lock"),
                  std::string::npos);
        // A dup held elsewhere (the manager's poll loop) must not keep the lock.
        const detail::UniqueFd watcher(::dup(first.readiness_fd()));
        first.close();
        EXPECT_NO_THROW(PosixSerialPort again(pty.slave_path()));
    }
    PosixSerialPort shared_a(pty.slave_path(), 115200, false);
    EXPECT_NO_THROW(PosixSerialPort shared_b(pty.slave_path(), 115200, false));
}

// Unplugging must surface as PortError from whichever call comes first,
// at once rather than after some timeout.
TEST(PosixSerialPort, UnplugIsAPortErrorFromAnyCall) {
    const std::pair<const char*, std::function<void(Port&)>> calls[] = {
        {"in_waiting", [](Port& port) { port.in_waiting(); }},
        {"read", [](Port& port) { port.read(10); }},
        {"write", [](Port& port) { port.write("*RST\n"); }},
    };
    for (const auto& [name, call] : calls) {
        for (const bool adopted : {false, true}) {
            SCOPED_TRACE(std::string(name) + (adopted ? " (adopted)" : " (by path)"));
            PtyPair pty;
            const std::shared_ptr<Port> port =
                adopted ? std::shared_ptr<Port>(PosixSerialPort::adopt(pty.release_slave(), "p"))
                        : std::make_shared<PosixSerialPort>(pty.slave_path());
            pty.close_master();

            pollfd ready{port->readiness_fd(), POLLIN, 0};
            EXPECT_EQ(::poll(&ready, 1, 1000), 1);
            const auto started = std::chrono::steady_clock::now();
            EXPECT_THROW(call(*port), PortError);
            EXPECT_LT(std::chrono::steady_clock::now() - started, 200ms);
        }
    }
}

TEST(PosixSerialPort, ClosedPortIsHarmless) {
    PtyPair pty;
    PosixSerialPort port(pty.slave_path());
    pty.write_far("pending\n");
    EXPECT_EQ(wait_waiting(port, 8), 8U);
    const int fd = port.readiness_fd();
    port.close();
    port.close();
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(port.readiness_fd(), -1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(port.in_waiting(), 0U);
    EXPECT_EQ(port.read(8), "");
    EXPECT_NO_THROW(port.write("ignored"));
}

TEST(PosixSerialPort, CloseRacesSafelyWithIo) {
    PtyPair pty;
    PosixSerialPort port(pty.slave_path());
    std::thread io([&] {
        while (port.is_open()) {
            port.write("x");
            port.in_waiting();
            port.read(4);
        }
    });
    std::this_thread::sleep_for(20ms);
    port.close();
    io.join();
    EXPECT_FALSE(port.is_open());
}

TEST(PosixSerialPort, LeaksNoDescriptors) {
    PtyPair pty;
    const std::size_t before = open_descriptors();
    for (int i = 0; i < 200; ++i) {
        PosixSerialPort port(pty.slave_path());
        EXPECT_THROW(PosixSerialPort(pty.slave_path()), PortError);
        EXPECT_THROW(PosixSerialPort(pty.slave_path(), 7), PortError);
        if (i % 2 == 0) port.close();
    }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace orvak
