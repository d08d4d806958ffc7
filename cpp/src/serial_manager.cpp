#include "orvak/serial_manager.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak {

namespace {

constexpr std::string_view write_loop_name = "_manage_communication";
constexpr std::string_view distributor_loop_name = "_distribute_read_data";
// The distributor is woken by every line and by stop; this is only a backstop.
constexpr Seconds distributor_backstop{1.0};

// Closes a descriptor it owns.
class OwnedFd {
  public:
    explicit OwnedFd(int fd = -1) noexcept : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    [[nodiscard]] int get() const noexcept { return fd_; }

  private:
    int fd_;
};

// Keeps the ASCII bytes of what the port delivered; others are dropped.
std::string ascii_only(std::string bytes) {
    std::erase_if(bytes, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return bytes;
}

}  // namespace

RouteTable::~RouteTable() = default;

FixedRoutes::FixedRoutes(std::vector<std::shared_ptr<ReplySlots>> slots)
    : slots_(std::move(slots)) {}

std::shared_ptr<ReplySlots> FixedRoutes::slots_at(std::size_t position) {
    return position < slots_.size() ? slots_[position] : nullptr;
}

// An eventfd that makes the event-driven loop's poll() return at once.
class SerialManager::Wakeup {
  public:
    Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (fd_.get() < 0) {
            throw std::system_error(errno, std::generic_category(), "eventfd");
        }
    }
    void signal() const noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(fd_.get(), &one, sizeof one);
    }
    void drain() const noexcept {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(fd_.get(), &count, sizeof count);
    }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

  private:
    OwnedFd fd_;
};

SerialManager::SerialManager(std::shared_ptr<Port> port, std::shared_ptr<RouteTable> routes,
                             std::shared_ptr<LogSink> log, ManagerHooks hooks)
    : port_(std::move(port)),
      routes_(routes ? std::move(routes)
                     : std::make_shared<FixedRoutes>(std::vector<std::shared_ptr<ReplySlots>>{})),
      log_(log ? std::move(log) : std::make_shared<StderrLogSink>("orvak.seriallink")),
      hooks_(std::move(hooks)),
      wakeup_(std::make_unique<Wakeup>()) {
    write_queue_.on_put([this] { wakeup_->signal(); });
    stop_event_.on_set([this] {
        wakeup_->signal();
        read_queue_.wake_waiters();
    });
    io_thread_ = std::thread([this] {
        run_guarded(write_loop_name, [this] {
            if (port_) {
                manage_communication(*port_);
            } else {
                while (!stop_event_.is_set()) stop_event_.wait_for(distributor_backstop);
            }
        });
    });
    try {
        distributor_thread_ = std::thread(
            [this] { run_guarded(distributor_loop_name, [this] { distribute_read_data(); }); });
    } catch (...) {
        stop();
        throw;
    }
}

SerialManager::~SerialManager() { stop(); }

bool SerialManager::is_alive() const { return !stop_event_.is_set() && !died_.is_set(); }

void SerialManager::stop() {
    stop_event_.set();
    const auto join = [this] {
        const std::lock_guard lock(join_mutex_);
        for (std::thread* t : {&io_thread_, &distributor_thread_}) {
            if (!t->joinable()) continue;
            // A loop that ends its own manager cannot wait for itself.
            if (t->get_id() == std::this_thread::get_id()) {
                t->detach();
            } else {
                t->join();
            }
        }
    };
    if (hooks_.around_join) {
        hooks_.around_join(join);
    } else {
        join();
    }
}

std::exception_ptr SerialManager::thread_error() const {
    const std::lock_guard lock(error_mutex_);
    return thread_error_;
}

void SerialManager::send_line(std::string line) { write_queue_.put(std::move(line)); }
bool SerialManager::read_queue_empty() { return read_queue_.empty(); }
bool SerialManager::stop_requested() { return stop_event_.is_set(); }
bool SerialManager::died() { return died_.is_set(); }

grammar::ParsedLine SerialManager::parse(std::string_view line) {
    return grammar::parse_line(line);
}

void SerialManager::route(std::string_view line) {
    grammar::ParsedLine parsed;
    try {
        parsed = parse(line);
    } catch (const std::exception&) {
        log_->log(LogLevel::warning, "Failed to parse serial line %r; dropping it.",
                  {std::string(line)}, std::current_exception());
        return;
    }
    if (parsed.address <= 0) return;
    const auto slots = routes_->slots_at(static_cast<std::size_t>(parsed.address - 1));
    if (!slots) return;
    switch (grammar::classify(parsed.text)) {
        case grammar::ReplyKind::notok:
            slots->notok.deliver(std::string(text::strip(parsed.text)));
            break;
        case grammar::ReplyKind::done:
            slots->done.deliver("DONE");
            break;
        case grammar::ReplyKind::ok:
            slots->ok.deliver(std::string(parsed.text));
            break;
        case grammar::ReplyKind::position:
            slots->position.deliver(std::string(parsed.text));
            break;
        case grammar::ReplyKind::other:
            slots->other.deliver(std::string(parsed.text));
            break;
    }
}

void SerialManager::write(Port& port, std::string_view command) {
    try {
        if (port.is_open()) port.write(command);
    } catch (const PortError&) {
        mark_connection_lost(std::current_exception(), "write");
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception&) {
        log_->log(LogLevel::warning, "Serial write failed for %r", {std::string(command)},
                  std::current_exception());
    }
}

std::string SerialManager::read(Port& port) {
    try {
        if (!port.is_open()) return {};
        const std::size_t waiting = port.in_waiting();
        if (waiting == 0) return {};
        return ascii_only(port.read(waiting));
    } catch (const PortError&) {
        mark_connection_lost(std::current_exception(), "read");
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception&) {
        log_->log(LogLevel::warning, "Serial read failed", {}, std::current_exception());
    }
    return {};
}

void SerialManager::mark_connection_lost(std::exception_ptr error, std::string_view what) {
    {
        // Once per manager: a dead device fails on every poll.
        const std::lock_guard lock(error_mutex_);
        if (died_.is_set()) return;
        thread_error_ = error;
        died_.set();
    }
    log_->log(LogLevel::error,
              "Orvak connection lost \xE2\x80\x94 the instrument was turned off or unplugged.", {},
              nullptr);
    if (log_->enabled(LogLevel::debug)) {
        log_->log(LogLevel::debug,
                  "Orvak serial %s failure that triggered connection-lost:", {std::string(what)},
                  error);
    }
    stop_event_.set();
}

void SerialManager::run_guarded(std::string_view loop_name, const std::function<void()>& loop) {
    try {
        loop();
    } catch (...) {
        const auto error = std::current_exception();
        {
            const std::lock_guard lock(error_mutex_);
            thread_error_ = error;
            died_.set();
        }
        log_->log(LogLevel::error,
                  "Orvak serial background thread %s crashed; serial communication has stopped.",
                  {std::string(loop_name)}, error);
        stop_event_.set();
    }
}

void SerialManager::manage_communication(Port& port) {
    if (port.readiness_fd() >= 0) {
        serve_event_driven(port);
    } else {
        poll_port(port);
    }
    if (port.is_open()) port.close();
}

void SerialManager::split_lines(std::string& buffer) {
    std::size_t start = 0;
    for (std::size_t end = buffer.find('\n'); end != std::string::npos;
         end = buffer.find('\n', start)) {
        if (end > start) read_queue_.put(buffer.substr(start, end - start));
        start = end + 1;
    }
    buffer.erase(0, start);
}

void SerialManager::write_pending(Port& port) {
    while (auto line = write_queue_.try_get()) {
        line->push_back('\n');
        write(port, *line);
    }
}

void SerialManager::poll_port(Port& port) {
    std::string buffer;
    while (!stop_event_.is_set()) {
        if (!port.is_open()) {
            stop_event_.wait_for(poll_period);
            continue;
        }
        if (auto first = write_queue_.get_for(poll_period)) {
            first->push_back('\n');
            write(port, *first);
            write_pending(port);
        }
        buffer += read(port);
        split_lines(buffer);
    }
}

void SerialManager::serve_event_driven(Port& port) {
    // Our own descriptor for poll(): the port's owner may close the port
    // meanwhile, and a closed number can be reused by anything.
    OwnedFd watched(::fcntl(port.readiness_fd(), F_DUPFD_CLOEXEC, 0));
    std::string buffer;
    while (!stop_event_.is_set()) {
        const bool open = port.is_open();
        if (!open) watched.reset();
        if (open && watched.get() >= 0) {
            write_pending(port);
            buffer += read(port);
            split_lines(buffer);
            if (stop_event_.is_set()) break;
        }
        std::array<pollfd, 2> fds{{{wakeup_->fd(), POLLIN, 0}, {watched.get(), POLLIN, 0}}};
        const nfds_t count = watched.get() >= 0 ? 2 : 1;
        const int ready = ::poll(fds.data(), count, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[0].revents & POLLIN) wakeup_->drain();
        if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && port.is_open()) {
            // A hang-up with nothing left to read: the device is gone. Reading
            // reports it through the port; if the port stays silent, say so here.
            buffer += read(port);
            split_lines(buffer);
            if (!died_.is_set()) {
                mark_connection_lost(
                    std::make_exception_ptr(PortError("device disconnected (hang-up)")), "read");
            }
        }
    }
}

void SerialManager::distribute_read_data() {
    const auto stopping = [this] { return stop_event_.is_set(); };
    while (!stop_event_.is_set()) {
        const auto line = read_queue_.get_unless(distributor_backstop, stopping);
        if (!line) continue;
        route(*line);
        while (auto more = read_queue_.try_get()) route(*more);
    }
}

}  // namespace orvak
