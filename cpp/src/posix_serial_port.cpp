#include "orvak/posix_serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace orvak {

namespace {

// A write that makes no progress for this long means the device stopped
// draining (flow control stuck, or a stalled driver).
constexpr int write_stall_timeout_ms = 1000;

std::optional<speed_t> speed_for(int baudrate) {
    struct Rate {
        int baud;
        speed_t speed;
    };
    static constexpr Rate rates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
    };
    for (const Rate& rate : rates) {
        if (rate.baud == baudrate) return rate.speed;
    }
    return std::nullopt;
}

// poll() on one descriptor: revents, 0 on timeout, POLLERR if poll() fails.
// EINTR restarts the full timeout, which callers keep short.
short poll_one(int fd, short events, int timeout_ms) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return POLLERR;
    }
}

}  // namespace

PosixSerialPort::PosixSerialPort(std::string path, int baudrate, bool exclusive)
    : path_(std::move(path)), baudrate_(baudrate) {
    const std::optional<speed_t> speed = speed_for(baudrate);
    if (!speed) {
        throw PortError("unsupported baud rate " + std::to_string(baudrate) + " for port " + path_);
    }

    detail::UniqueFd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) fail("could not open port", errno);
    // Lock before touching the line settings so a port in use elsewhere is
    // left exactly as its owner configured it.
    if (exclusive && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        fail("could not lock port (in use by another program?)", errno);
    }

    termios tio{};
    if (::tcgetattr(fd.get(), &tio) != 0) fail("could not read settings of port", errno);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, *speed) != 0 || ::cfsetospeed(&tio, *speed) != 0 ||
        ::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        fail("could not configure port", errno);
    }
    // Drop whatever the device sent before we were listening.
    if (::tcflush(fd.get(), TCIOFLUSH) != 0) fail("could not flush port", errno);

    open_fd_ = fd.get();
    fd_ = std::move(fd);
}

PosixSerialPort::PosixSerialPort(Adopted, detail::UniqueFd fd, std::string name)
    : path_(std::move(name)) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        fail("could not adopt port", errno);
    }
    open_fd_ = fd.get();
    fd_ = std::move(fd);
}

std::shared_ptr<PosixSerialPort> PosixSerialPort::adopt(int fd, std::string name) {
    return std::make_shared<PosixSerialPort>(Adopted{}, detail::UniqueFd(fd), std::move(name));
}

PosixSerialPort::~PosixSerialPort() { close(); }

bool PosixSerialPort::is_open() { return open_fd_.load() >= 0; }

int PosixSerialPort::readiness_fd() const { return open_fd_.load(); }

void PosixSerialPort::close() {
    const std::lock_guard lock(mutex_);
    if (!fd_) return;
    // Unlock explicitly: a dup() held elsewhere (the manager's poll loop)
    // would otherwise keep the lock alive after our close.
    ::flock(fd_.get(), LOCK_UN);
    open_fd_ = -1;
    fd_.reset();
    pending_.clear();
}

void PosixSerialPort::write(std::string_view bytes) {
    const std::lock_guard lock(mutex_);
    if (!fd_) return;
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_writable(write_stall_timeout_ms);
        } else if (errno != EINTR) {
            fail("could not write to port", errno);
        }
    }
}

void PosixSerialPort::wait_writable(int timeout_ms) {
    const short revents = poll_one(fd_.get(), POLLOUT, timeout_ms);
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) fail_disconnected();
    if (revents == 0) throw PortError("write to port " + path_ + " timed out");
}

std::size_t PosixSerialPort::in_waiting() {
    const std::lock_guard lock(mutex_);
    if (!fd_) return 0;
    const auto queued = [this] {
        int count = 0;
        if (::ioctl(fd_.get(), FIONREAD, &count) != 0) fail("could not query port", errno);
        return static_cast<std::size_t>(count);
    };
    std::size_t count = queued();
    if (count == 0 && pending_.empty()) {
        // A hung-up pseudo-terminal may report 0 without an error.
        probe_hangup(pending_, 1);
        if (!pending_.empty()) count = queued();
    }
    return pending_.size() + count;
}

std::string PosixSerialPort::read(std::size_t count) {
    const std::lock_guard lock(mutex_);
    if (!fd_ || count == 0) return {};
    std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    std::array<char, 4096> buffer{};
    while (out.size() < count) {
        const std::size_t want = std::min(buffer.size(), count - out.size());
        const ssize_t got = ::read(fd_.get(), buffer.data(), want);
        if (got > 0) {
            out.append(buffer.data(), static_cast<std::size_t>(got));
        } else if (got == 0) {
            // With VMIN=0/VTIME=0 a live tty also returns 0 when idle; what we
            // already have is delivered and a hang-up surfaces on the next call.
            if (out.empty()) probe_hangup(out, count);
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            fail("could not read from port", errno);
        }
    }
    return out;
}

// Tells "nothing to read" from a hang-up, which look alike through read() and
// FIONREAD. Appends up to `max` bytes that turn up meanwhile to `out`.
void PosixSerialPort::probe_hangup(std::string& out, std::size_t max) {
    const short revents = poll_one(fd_.get(), POLLIN, 0);
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) fail_disconnected();
    if (!(revents & POLLIN)) return;
    // Readable per poll(), so an empty read now can only mean end of file.
    std::array<char, 4096> buffer{};
    const ssize_t got = ::read(fd_.get(), buffer.data(), std::min(buffer.size(), max));
    if (got > 0) {
        out.append(buffer.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
        fail_disconnected();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fail("could not read from port", errno);
    }
}

void PosixSerialPort::fail(std::string_view what, int err) const {
    throw PortError(std::string(what) + ' ' + path_ + ": " + std::strerror(err), err);
}

void PosixSerialPort::fail_disconnected() const {
    throw PortError("port " + path_ + " disconnected (device unplugged or hung up)");
}

}  // namespace orvak
