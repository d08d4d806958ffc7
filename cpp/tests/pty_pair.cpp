#include "pty_pair.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

namespace orvak::testing {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void make_raw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) throw_errno("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) throw_errno("tcsetattr");
}

}  // namespace

PtyPair::PtyPair() {
    int master = -1;
    int slave = -1;
    std::array<char, 256> name{};
    if (::openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) throw_errno("openpty");
    master_.reset(master);
    slave_.reset(slave);
    slave_path_ = name.data();
    make_raw(slave);
    make_raw(master);
    // Non-blocking master: every wait goes through poll() with a deadline.
    for (const int fd : {master, slave}) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) throw_errno("fcntl");
    }
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) throw_errno("fcntl");
}

void PtyPair::write_far(std::string_view bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!bytes.empty()) {
        const ssize_t written = ::write(master_.get(), bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            throw_errno("write to pty master");
        }
        pollfd entry{master_.get(), POLLOUT, 0};
        const int ready = ::poll(&entry, 1, remaining_ms(deadline));
        if (ready == 0) {
            throw std::system_error(std::make_error_code(std::errc::timed_out),
                                    "write to pty master");
        }
        if (ready > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            throw std::system_error(std::make_error_code(std::errc::broken_pipe),
                                    "write to pty master");
        }
    }
}

bool PtyPair::fill(Clock::time_point deadline) {
    if (!master_) return false;
    pollfd entry{master_.get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return false;
    std::array<char, 4096> chunk{};
    const ssize_t got = ::read(master_.get(), chunk.data(), chunk.size());
    if (got > 0) {
        buffer_.append(chunk.data(), static_cast<std::size_t>(got));
        return true;
    }
    // EIO once every slave descriptor is closed; anything else is transient.
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

std::string PtyPair::read_far_until(std::string_view terminator,
                                    std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t end = buffer_.find(terminator);
    while (end == std::string::npos && fill(deadline)) end = buffer_.find(terminator);
    const std::size_t taken = end == std::string::npos ? buffer_.size() : end + terminator.size();
    std::string out = buffer_.substr(0, taken);
    buffer_.erase(0, taken);
    return out;
}

std::string PtyPair::read_far(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (buffer_.size() < count && fill(deadline)) {
    }
    std::string out = buffer_.substr(0, count);
    buffer_.erase(0, out.size());
    return out;
}

ScriptedFarEnd::ScriptedFarEnd(std::vector<Rule> rules)
    : rules_(std::move(rules)),
      responder_([this](const std::stop_token& stop) { respond(stop); }) {}

std::vector<std::string> ScriptedFarEnd::received() const {
    const std::lock_guard lock(mutex_);
    return received_;
}

void ScriptedFarEnd::respond(const std::stop_token& stop) {
    using namespace std::chrono_literals;
    std::string line;
    bool connected = true;
    while (!stop.stop_requested()) {
        if (!connected) {
            std::this_thread::sleep_for(5ms);
            continue;
        }
        line += pty_.read_far_line(20ms);
        if (!line.ends_with('\n')) continue;
        line.pop_back();
        {
            const std::lock_guard lock(mutex_);
            received_.push_back(line);
        }
        for (const auto& rule : rules_) {
            if (line.find(rule.when) == std::string::npos) continue;
            if (rule.hang_up) {
                pty_.close_master();
                connected = false;
            } else {
                pty_.write_far(rule.reply);
            }
            break;
        }
        line.clear();
    }
}

}  // namespace orvak::testing
