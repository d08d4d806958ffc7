#include "orvak/sim/pty_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace orvak::sim {

namespace {

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void set_flags(int fd, bool non_blocking) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) throw_errno("fcntl");
    if (!non_blocking) return;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) throw_errno("fcntl");
}

}  // namespace

PtyServer::PtyServer(std::shared_ptr<SimPort> link) : link_(std::move(link)) {
    int master = -1;
    int slave = -1;
    std::array<char, 256> name{};
    if (::openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) throw_errno("openpty");
    master_.reset(master);
    slave_.reset(slave);
    path_ = name.data();
    // Raw: bytes pass unchanged in both directions, no echo, no line editing.
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) throw_errno("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) throw_errno("tcsetattr");
    set_flags(master, true);
    set_flags(slave, false);
    wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) throw_errno("eventfd");
    thread_ = std::thread([this] { serve(); });
}

PtyServer::~PtyServer() {
    try {
        close();
    } catch (const std::exception&) {
        // Closing the link can only fail in its readiness descriptor; nothing is left to do.
    }
}

bool PtyServer::serving() const { return serving_.load(); }

void PtyServer::serve() noexcept {
    std::string to_client;  // read from the chain, not yet taken by the pseudo-terminal
    std::array<char, 4096> chunk{};
    try {
        while (link_->is_open()) {
            // While the client lags behind, leave the chain's output where it is.
            const bool backlog = !to_client.empty();
            std::array<pollfd, 3> fds{{
                {wake_.get(), POLLIN, 0},
                {master_.get(), static_cast<short>(POLLIN | (backlog ? POLLOUT : 0)), 0},
                {link_->readiness_fd(), static_cast<short>(backlog ? 0 : POLLIN), 0},
            }};
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents != 0) break;
            if (fds[1].revents & (POLLERR | POLLNVAL)) break;
            if (fds[1].revents & POLLIN) {
                const ssize_t got = ::read(master_.get(), chunk.data(), chunk.size());
                if (got > 0) link_->write({chunk.data(), static_cast<std::size_t>(got)});
            }
            if (!backlog && (fds[2].revents & POLLIN)) {
                const std::size_t waiting = link_->in_waiting();
                if (waiting > 0) to_client += link_->read(waiting);
            }
            while (!to_client.empty()) {
                const ssize_t sent = ::write(master_.get(), to_client.data(), to_client.size());
                if (sent <= 0) break;
                to_client.erase(0, static_cast<std::size_t>(sent));
            }
        }
    } catch (const std::exception&) {
        // The link failed (the chain was unplugged): hang up on the client.
    }
    master_.reset();
    slave_.reset();
    serving_ = false;
}

void PtyServer::stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_.get(), &one, sizeof one);
    if (thread_.joinable()) thread_.join();
}

void PtyServer::unplug() {
    const std::lock_guard lock(stop_mutex_);
    stop();
    master_.reset();
    slave_.reset();
    link_->close();
}

void PtyServer::close() {
    const std::lock_guard lock(stop_mutex_);
    stop();
    master_.reset();
    slave_.reset();
    wake_.reset();
    link_->close();
}

}  // namespace orvak::sim
