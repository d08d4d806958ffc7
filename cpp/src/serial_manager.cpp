#include "orvak/serial_manager.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
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
// At most this much is read in one pass, so queued lines still go out while
// a chain streams.
constexpr std::size_t read_pass_limit = 4096;

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
    detail::UniqueFd fd_;
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
        // Drivers blocked on a reply see the stop (or the lost link) now,
        // not at the end of their poll slice.
        for (const auto& slots : routes_->known_slots()) {
            if (slots) slots->wake_waiters();
        }
    });
    start_loop(0, write_loop_name, [this] {
        if (port_) {
            manage_communication(*port_);
        } else {
            while (!stop_event_.is_set()) stop_event_.wait_for(distributor_backstop);
        }
    });
    try {
        start_loop(1, distributor_loop_name, [this] { distribute_read_data(); });
    } catch (...) {
        stop();
        throw;
    }
}

void SerialManager::start_loop(std::size_t index, std::string_view name,
                               std::function<void()> loop) {
    threads_.at(index) = std::thread([this, index, name, loop = std::move(loop)] {
        loop_ids_.at(index).store(std::this_thread::get_id());
        const std::function<void()> body = [&] { run_guarded(name, loop); };
        if (hooks_.around_loop) {
            hooks_.around_loop(body);
        } else {
            body();
        }
    });
}

std::shared_ptr<SerialManager> SerialManager::start(std::shared_ptr<Port> port,
                                                    std::shared_ptr<RouteTable> routes,
                                                    std::shared_ptr<LogSink> log,
                                                    ManagerHooks hooks,
                                                    std::shared_ptr<Reaper> reaper) {
    auto owner = std::make_shared<SerialManager>(std::move(port), std::move(routes), std::move(log),
                                                 std::move(hooks));
    if (!reaper) reaper = std::make_shared<Reaper>();
    SerialManager* const manager = owner.get();
    // The handle's deleter holds the one owning reference. It runs where the
    // last handle goes, so it only signals (cheap, and it lets every dropped
    // manager's port close in parallel) and hands the rest over.
    return {manager,
            [owner = std::move(owner), reaper = std::move(reaper)](SerialManager*) mutable {
                owner->stop_event().set();
                reaper->hand_over([owner = std::move(owner)]() mutable {
                    owner->stop();
                    owner.reset();
                });
            }};
}

SerialManager::~SerialManager() { stop(); }

bool SerialManager::is_alive() const { return !stop_event_.is_set() && !died_.is_set(); }

bool SerialManager::on_loop_thread() const noexcept {
    const auto self = std::this_thread::get_id();
    return loop_ids_[0].load() == self || loop_ids_[1].load() == self;
}

void SerialManager::stop() {
    stop_event_.set();
    if (on_loop_thread()) return;
    const auto join = [this] {
        const std::lock_guard lock(join_mutex_);
        for (auto& thread : threads_) {
            if (thread.joinable()) thread.join();
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

std::string SerialManager::read(Port& port) { return ascii_only(read_bytes(port)); }

// A port may hand out less than it reports waiting (pyserial's RFC 2217 port
// gives one byte per read without a time-out), so reading goes on while it
// has more; a reply would otherwise take one pass per byte.
std::string SerialManager::read_bytes(Port& port) {
    std::string bytes;
    try {
        if (!port.is_open()) return {};
        while (bytes.size() < read_pass_limit) {
            const std::size_t waiting = port.in_waiting();
            if (waiting == 0) break;
            const std::string chunk = port.read(waiting);
            bytes += chunk;
            if (chunk.empty() || chunk.size() >= waiting) break;
        }
    } catch (const PortError&) {
        mark_connection_lost(std::current_exception(), "read");
    } catch (const Interrupted&) {
        throw;
    } catch (const std::exception&) {
        log_->log(LogLevel::warning, "Serial read failed", {}, std::current_exception());
    }
    return bytes;
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
    if (auto watched = port.watch_fd()) {
        serve_event_driven(port, std::move(watched));
    } else {
        poll_port(port);
    }
    if (port.is_open()) port.close();
}

// An overlong line is junk (a chain streaming without line feeds); it is
// dropped with one warning, showing its start, and routing goes on after it.
std::size_t SerialManager::assemble(LineAssembler& lines, std::string_view text) {
    std::size_t count = 0;
    lines.feed(
        text,
        [this, &count](std::string line) {
            read_queue_.put(std::move(line));
            ++count;
        },
        [this](std::string_view head) {
            constexpr std::size_t shown = 40;
            log_->log(LogLevel::warning,
                      "Serial line longer than %s bytes without a line feed (starting %r); "
                      "discarding it.",
                      {std::to_string(head.size()), std::string(head.substr(0, shown))}, nullptr);
        });
    return count;
}

std::size_t SerialManager::write_pending(Port& port) {
    std::size_t written = 0;
    while (auto line = write_queue_.try_get()) {
        line->push_back('\n');
        write(port, *line);
        ++written;
    }
    return written;
}

void SerialManager::PollPace::sent(std::size_t lines, Clock::time_point now) {
    if (lines == 0) return;
    // Lines left unanswered past the window (the roll-call) are forgotten,
    // or they would keep every later wait at the short period.
    if (now >= awaited_until_) unanswered_ = 0;
    unanswered_ += lines;
    awaited_until_ = now + std::chrono::duration_cast<Clock::duration>(reply_window);
}

void SerialManager::PollPace::received(std::size_t lines) {
    unanswered_ -= std::min(unanswered_, lines);
}

Seconds SerialManager::PollPace::next_wait(Clock::time_point now) const {
    return unanswered_ > 0 && now < awaited_until_ ? awaited_poll_period : poll_period;
}

// A port without a descriptor cannot wake the loop when its bytes arrive, so
// it is looked at on a period. At a fixed 10 ms every reply would wait up to
// 10 ms for its pass: several times the whole round trip of a network serial
// server. So the port is looked at every awaited_poll_period while lines sent
// in the last reply_window are unanswered, and every poll_period (the upper
// bound on latency) otherwise: when idle, and while a motion runs towards its
// DONE, which may take minutes. A queued line ends either wait at once.
void SerialManager::poll_port(Port& port) {
    LineAssembler lines;
    PollPace pace;
    while (!stop_event_.is_set()) {
        ++io_wakeups_;
        if (!port.is_open()) {
            stop_event_.wait_for(poll_period);
            continue;
        }
        if (auto first = write_queue_.get_for(pace.next_wait(PollPace::Clock::now()))) {
            first->push_back('\n');
            write(port, *first);
            pace.sent(1 + write_pending(port), PollPace::Clock::now());
        }
        pace.received(assemble(lines, read(port)));
    }
}

// `watched` is our own copy of the port's descriptor: the port's owner may
// close the port meanwhile, and a closed number can be reused by anything.
// The loop sleeps until the port or the wake-up descriptor (a queued line,
// stop) is ready; bytes still move only through the port's own calls. While
// the port is closed it is looked at every poll period, as by the polling
// loop, and a port opened again is watched again.
void SerialManager::serve_event_driven(Port& port, detail::UniqueFd watched) {
    event_driven_ = true;
    const int poll_ms = static_cast<int>(poll_period.count() * 1000.0);
    LineAssembler lines;
    bool port_was_ready = false;
    bool stalled = false;
    while (!stop_event_.is_set()) {
        bool got_bytes = false;
        const bool open = port.is_open();
        if (!open) {
            watched.reset();
        } else if (!watched) {
            watched = port.watch_fd();
        }
        if (open) {
            write_pending(port);
            const std::string bytes = read_bytes(port);
            got_bytes = !bytes.empty();
            assemble(lines, ascii_only(bytes));
            if (stop_event_.is_set()) break;
        }
        // A descriptor that stays readable while the port has nothing to give
        // (an end of file the port does not report) would spin the loop: the
        // port is then looked at once per poll period until it gives bytes.
        stalled = (stalled || port_was_ready) && !got_bytes;
        const bool watch_port = watched && !stalled;
        std::array<pollfd, 2> fds{{{wakeup_->fd(), POLLIN, 0}, {watched.get(), POLLIN, 0}}};
        const nfds_t count = watch_port ? 2 : 1;
        const int ready = ::poll(fds.data(), count, watch_port ? -1 : poll_ms);
        ++io_wakeups_;
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[0].revents & POLLIN) wakeup_->drain();
        port_was_ready = count == 2 && (fds[1].revents & POLLIN) != 0;
        if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && port.is_open()) {
            // A hang-up: the device is gone. What it sent last is still read;
            // the port may report the loss itself, else it is reported here.
            assemble(lines, read(port));
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
