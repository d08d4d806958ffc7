// Owns one open port and runs the chain's two background loops on it: the
// write/read loop (the only user of the port) and the distributor (the only
// writer of reply slots). Callers only queue lines and wait on their slots.
//
// A port with a descriptor (Port::watch_fd) is served event-driven: the
// write/read loop sleeps in poll() on it and on a wake-up descriptor, so a
// queued line goes out and a reply is routed as soon as the bytes exist, and
// an idle manager costs nothing. The 10 ms poll period is an upper bound on
// latency, not a pace: a port without a descriptor is looked at every
// millisecond while a reply is awaited (see PollPace) and on that period
// otherwise, as is a port closed by its owner.
//
// The loops use the manager's own state, so it must never be destroyed on one
// of its loop threads: the destructor would free what the loop still uses
// once the destructor returned. A host where the last reference can drop
// anywhere (an interpreter whose garbage collector runs on whichever thread
// allocates, a loop thread calling into it included) makes the manager with
// start(): dropping the handle then only asks the loops to stop, and a thread
// of its own joins them, closes the port and destroys the manager.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvak/event.hpp"
#include "orvak/line_assembler.hpp"
#include "orvak/line_queue.hpp"
#include "orvak/link.hpp"
#include "orvak/log_sink.hpp"
#include "orvak/port.hpp"
#include "orvak/reaper.hpp"
#include "orvak/reply_grammar.hpp"
#include "orvak/reply_slot.hpp"

namespace orvak {

// Where replies go: the slots of the instrument at a 0-based chain position.
class ORVAK_EXPORT RouteTable {
  public:
    virtual ~RouteTable();
    // Null when the chain has no instrument at `position`.
    [[nodiscard]] virtual std::shared_ptr<ReplySlots> slots_at(std::size_t position) = 0;
    // The slots known now, without asking the host; for waking their waiters.
    [[nodiscard]] virtual std::vector<std::shared_ptr<ReplySlots>> known_slots() = 0;
};

// A chain whose instruments are fixed when the manager starts.
class ORVAK_EXPORT FixedRoutes final : public RouteTable {
  public:
    explicit FixedRoutes(std::vector<std::shared_ptr<ReplySlots>> slots);
    [[nodiscard]] std::shared_ptr<ReplySlots> slots_at(std::size_t position) override;
    [[nodiscard]] std::vector<std::shared_ptr<ReplySlots>> known_slots() override { return slots_; }

  private:
    std::vector<std::shared_ptr<ReplySlots>> slots_;
};

struct ManagerHooks {
    // Runs `join` (waiting for both loops). A host whose loops need a lock of
    // its own (an interpreter lock) releases it around the call.
    std::function<void(const std::function<void()>& join)> around_join;
    // Runs a loop thread's whole body, so a host can set up per-thread state
    // once (an interpreter's thread state) instead of on every port call.
    std::function<void(const std::function<void()>& body)> around_loop;
};

class ORVAK_EXPORT SerialManager final : public Link {
  public:
    static constexpr Seconds poll_period{0.01};
    // How often the polling loop looks at a port while a reply is awaited.
    static constexpr Seconds awaited_poll_period{0.001};
    // How long after a line was sent its reply counts as awaited: a line that
    // nothing answers (the roll-call) must not keep the loop at the short
    // period. A module answers within milliseconds; a later reply still comes
    // within poll_period.
    static constexpr Seconds reply_window{0.25};

    // How long the polling loop (a port without a descriptor) waits for a
    // queued line before it looks at the port again: awaited_poll_period
    // while lines sent within reply_window have not all been answered by a
    // line, else poll_period.
    class PollPace {
      public:
        using Clock = std::chrono::steady_clock;
        void sent(std::size_t lines, Clock::time_point now);
        void received(std::size_t lines);
        [[nodiscard]] Seconds next_wait(Clock::time_point now) const;

      private:
        std::size_t unanswered_ = 0;
        Clock::time_point awaited_until_{};
    };

    // Starts both loops; they are running when the constructor returns.
    SerialManager(std::shared_ptr<Port> port, std::shared_ptr<RouteTable> routes,
                  std::shared_ptr<LogSink> log = nullptr, ManagerHooks hooks = {});
    SerialManager(const SerialManager&) = delete;
    SerialManager& operator=(const SerialManager&) = delete;
    // Stops and joins both loops. Never on one of them (see start()).
    ~SerialManager() override;

    // A running manager behind a handle that may be dropped on any thread.
    // When its last copy goes, the loops are asked to stop at once, and
    // `reaper` joins them, closes the port and destroys the manager on a
    // thread of its own.
    [[nodiscard]] static std::shared_ptr<SerialManager> start(std::shared_ptr<Port> port,
                                                              std::shared_ptr<RouteTable> routes,
                                                              std::shared_ptr<LogSink> log,
                                                              ManagerHooks hooks,
                                                              std::shared_ptr<Reaper> reaper);

    [[nodiscard]] bool is_alive() const;
    // Asks both loops to end and waits for them. Safe to call more than once,
    // from any thread; on one of the loops it only asks (a loop cannot wait
    // for itself, and the other loop may be waiting to call into that thread's
    // host), and the loops are joined when the manager is destroyed.
    void stop();

    [[nodiscard]] LineQueue& read_queue() noexcept { return read_queue_; }
    [[nodiscard]] LineQueue& write_queue() noexcept { return write_queue_; }
    [[nodiscard]] Event& stop_event() noexcept { return stop_event_; }
    [[nodiscard]] Event& died_event() noexcept { return died_; }
    [[nodiscard]] std::exception_ptr thread_error() const;
    [[nodiscard]] const std::shared_ptr<Port>& port() const noexcept { return port_; }
    [[nodiscard]] const std::shared_ptr<RouteTable>& routes() const noexcept { return routes_; }

    // Diagnostics of the write/read loop: how often it woke up (a poll()
    // return when event-driven, a pass when polling), and whether it waits on
    // the port's descriptor.
    [[nodiscard]] std::uint64_t io_wakeups() const noexcept { return io_wakeups_.load(); }
    [[nodiscard]] bool event_driven() const noexcept { return event_driven_.load(); }

    // Link
    void send_line(std::string line) override;
    [[nodiscard]] bool read_queue_empty() override;
    [[nodiscard]] bool stop_requested() override;
    [[nodiscard]] bool died() override;
    [[nodiscard]] std::exception_ptr failure() override { return thread_error(); }

    // The loops and their steps; public so a host can run and test them alone.
    static grammar::ParsedLine parse(std::string_view line);
    void route(std::string_view line);
    void write(Port& port, std::string_view command);
    [[nodiscard]] std::string read(Port& port);
    void mark_connection_lost(std::exception_ptr error, std::string_view what);
    void run_guarded(std::string_view loop_name, const std::function<void()>& loop);
    void manage_communication(Port& port);
    void distribute_read_data();

  private:
    class Wakeup;  // eventfd (or pipe) that interrupts the event-driven loop's poll()

    void start_loop(std::size_t index, std::string_view name, std::function<void()> loop);
    std::size_t assemble(LineAssembler& lines, std::string_view text);  // lines completed
    void poll_port(Port& port);  // the polling loop for ports without a descriptor
    // poll() on the port's descriptor and the wake-up descriptor.
    void serve_event_driven(Port& port, detail::UniqueFd watched);
    std::size_t write_pending(Port& port);  // lines written
    std::string read_bytes(Port& port);     // read() before decoding
    [[nodiscard]] bool on_loop_thread() const noexcept;

    std::shared_ptr<Port> port_;
    std::shared_ptr<RouteTable> routes_;
    std::shared_ptr<LogSink> log_;
    ManagerHooks hooks_;
    LineQueue read_queue_;
    LineQueue write_queue_;
    Event stop_event_;
    Event died_;
    mutable std::mutex error_mutex_;
    std::exception_ptr thread_error_;
    std::unique_ptr<Wakeup> wakeup_;
    std::atomic<std::uint64_t> io_wakeups_{0};
    std::atomic<bool> event_driven_{false};
    std::mutex join_mutex_;
    // The write/read loop, then the distributor. Each loop records its own id
    // before it runs, so a stop() from inside it is recognised even before
    // the std::thread that runs it is assigned.
    std::array<std::thread, 2> threads_;
    std::array<std::atomic<std::thread::id>, 2> loop_ids_{};
};

}  // namespace orvak
