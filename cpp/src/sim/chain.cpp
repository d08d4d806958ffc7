#include "orvak/sim/chain.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"
#include "orvak/readiness.hpp"
#include "orvak/sim/pty_server.hpp"

namespace orvak::sim {

namespace {

// A line without a newline this long is junk, not a command still arriving.
constexpr std::size_t max_pending_input = 4096;
// The chain-wide roll-call: every module hears it, none answers.
constexpr std::string_view roll_call_line = "<I-99>";

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string checked_code(std::string_view code) {
    const bool hex = code.size() > 2 && code[0] == '0' && (code[1] == 'x' || code[1] == 'X') &&
                     std::all_of(code.begin() + 2, code.end(), is_hex_digit);
    if (!hex) {
        throw ValueError(
            text::fill("refusal code must be hexadecimal like '0x210', not {!r}", {code}));
    }
    return text::lower(code);
}

std::string checked_line(std::string_view text) {
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        throw ValueError(text::fill("reply text must be one line, not {!r}", {text}));
    }
    return std::string(text);
}

double checked_scale(double scale) {
    if (!std::isfinite(scale) || scale < 0.0) {
        throw ValueError(
            text::fill("time_scale must be a finite number >= 0, not {}", {text::number(scale)}));
    }
    return scale;
}

// "<I{address} {command}>": the address and the command text, if the line has
// that form.
std::optional<std::pair<long long, std::string_view>> parse_command(std::string_view line) {
    line = text::strip(line);
    if (line.size() < 5 || !line.starts_with("<I") || !line.ends_with('>')) return std::nullopt;
    std::size_t digits = 2;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 2 || digits - 2 > 6 || line[digits] != ' ') return std::nullopt;
    long long address = 0;
    for (std::size_t i = 2; i < digits; ++i) address = address * 10 + (line[i] - '0');
    const std::string_view command = line.substr(digits + 1, line.size() - digits - 2);
    if (command.empty()) return std::nullopt;
    return std::pair{address, command};
}

}  // namespace

namespace detail {

class ChainCore {
  public:
    ChainCore(std::span<const long long> type_codes, double time_scale)
        : time_scale_(checked_scale(time_scale)) {
        for (const long long code : type_codes) {
            if (!has_firmware(code)) {
                throw ValueError(text::fill(
                    "the bench emulator has no firmware for type code {} (codes run {} to {})",
                    {text::integer(code), text::integer(min_type_code),
                     text::integer(max_type_code)}));
            }
            const int address = static_cast<int>(modules_.size()) + 1;
            modules_.push_back({make_firmware(address, static_cast<int>(code)), {}, {}});
        }
    }

    [[nodiscard]] std::size_t size() const noexcept { return modules_.size(); }

    void require_address(int address) const {
        if (address < 1 || static_cast<std::size_t>(address) > modules_.size()) {
            throw ValueError(text::fill(
                "no module at address {} (the chain has {})",
                {text::integer(address), text::integer(static_cast<long long>(modules_.size()))}));
        }
    }

    [[nodiscard]] double time_scale() const {
        const std::lock_guard lock(mutex_);
        return time_scale_;
    }

    void set_time_scale(double scale) {
        const double checked = checked_scale(scale);
        const std::lock_guard lock(mutex_);
        time_scale_ = checked;
    }

    // ---- links ----

    std::uint64_t open_link(std::shared_ptr<Readiness> readiness) {
        const std::lock_guard lock(mutex_);
        hang_up();
        link_ = ++links_opened_;
        readiness_ = std::move(readiness);
        sync_readiness();
        return link_;
    }

    bool is_open(std::uint64_t link) const {
        const std::lock_guard lock(mutex_);
        return link_ == link;
    }

    void close_link(std::uint64_t link) {
        const std::lock_guard lock(mutex_);
        if (link_ == link) hang_up();
    }

    void write(std::uint64_t link, std::string_view bytes) {
        const std::lock_guard lock(mutex_);
        require_plugged();
        if (link_ != link) return;
        const TimePoint now = Clock::now();
        release_due(now);
        input_.append(bytes);
        std::size_t start = 0;
        for (auto end = input_.find('\n', start); end != std::string::npos;
             end = input_.find('\n', start)) {
            receive(std::string_view(input_).substr(start, end - start), now);
            start = end + 1;
        }
        input_.erase(0, start);
        if (input_.size() > max_pending_input) input_.clear();
        sync_readiness();
    }

    std::size_t in_waiting(std::uint64_t link) {
        const std::lock_guard lock(mutex_);
        require_plugged();
        if (link_ != link) return 0;
        release_due(Clock::now());
        sync_readiness();
        return available();
    }

    std::string read(std::uint64_t link, std::size_t count) {
        const std::lock_guard lock(mutex_);
        require_plugged();
        if (link_ != link) return {};
        release_due(Clock::now());
        const std::size_t taken = std::min(count, available());
        std::string out = output_.substr(0, taken);
        output_.erase(0, taken);
        if (split_at_) {
            *split_at_ -= taken;
            if (*split_at_ == 0) split_at_.reset();
        }
        sync_readiness();
        return out;
    }

    // ---- state ----

    ModuleState state(int address) {
        const std::lock_guard lock(mutex_);
        const TimePoint now = Clock::now();
        release_due(now);
        sync_readiness();
        return snapshot(module_at(address), now);
    }

    std::vector<ModuleState> states() {
        const std::lock_guard lock(mutex_);
        const TimePoint now = Clock::now();
        release_due(now);
        sync_readiness();
        std::vector<ModuleState> out;
        out.reserve(modules_.size());
        for (const auto& module : modules_) out.push_back(snapshot(module, now));
        return out;
    }

    // ---- faults ----

    void inject_notok(int address, std::string_view text) {
        std::string line = checked_line(text);
        const std::lock_guard lock(mutex_);
        require_address(address);
        release_due(Clock::now());
        emit(address, line);
        sync_readiness();
    }

    void refuse_next(int address, std::string_view code) {
        std::string checked = checked_code(code);
        const std::lock_guard lock(mutex_);
        module_at(address).faults.push_back(CommandFault{std::move(checked)});
    }

    void swallow_next(int address) {
        const std::lock_guard lock(mutex_);
        module_at(address).faults.push_back(CommandFault{std::nullopt});
    }

    void delay_replies(int address, double seconds) {
        if (!std::isfinite(seconds) || seconds < 0.0) {
            throw ValueError(
                text::fill("reply delay must be a finite number of seconds >= 0, "
                           "not {}",
                           {text::number(seconds)}));
        }
        const std::lock_guard lock(mutex_);
        module_at(address).reply_delay =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    void late_refusal_next(int address, std::string_view code) {
        std::string checked = checked_code(code);
        const std::lock_guard lock(mutex_);
        module_at(address).firmware->refuse_next_motion_late(std::move(checked));
    }

    void inject_garbage(std::string_view bytes) {
        const std::lock_guard lock(mutex_);
        release_due(Clock::now());
        if (link_ != 0) output_.append(bytes);
        sync_readiness();
    }

    void set_detail(int address, std::string_view key, const DetailValue& value) {
        const std::lock_guard lock(mutex_);
        const TimePoint now = Clock::now();
        release_due(now);
        module_at(address).firmware->set_detail(key, value, now);
        sync_readiness();
    }

    void split_next_reply() {
        const std::lock_guard lock(mutex_);
        split_next_ = true;
    }

    void set_line_ending(std::string_view ending) {
        if (ending != "\r\n" && ending != "\n" && ending != "\n\r") {
            throw ValueError(
                text::fill("line ending must be '\\r\\n', '\\n' or '\\n\\r', not {!r}", {ending}));
        }
        const std::lock_guard lock(mutex_);
        line_ending_ = ending;
    }

    void unplug() {
        const std::lock_guard lock(mutex_);
        unplugged_ = true;
        output_.clear();
        split_at_.reset();
        sync_readiness();
    }

    // Closes the open link. Its descriptor stays readable, so whoever polls
    // it wakes and finds the link closed.
    void hang_up() {
        if (readiness_) {
            readiness_->set_pending(true);
            readiness_->arm(std::nullopt);
        }
        readiness_.reset();
        link_ = 0;
        output_.clear();
        late_.clear();
        input_.clear();
        split_at_.reset();
    }

  private:
    // A one-shot answer to the next command: a refusal code, or silence.
    struct CommandFault {
        std::optional<std::string> refusal;
    };
    struct Module {
        std::unique_ptr<ModuleFirmware> firmware;
        std::deque<CommandFault> faults;
        std::vector<std::string> commands;
        Clock::duration reply_delay{};
        TimePoint last_late_due{};  // a later line never overtakes an earlier one
    };
    // A reply line held back by a module's reply delay.
    struct LateLine {
        TimePoint due;
        int address;
        std::string text;
    };

    Module& module_at(int address) {
        require_address(address);
        return modules_[static_cast<std::size_t>(address) - 1];
    }

    void require_plugged() const {
        if (unplugged_) throw PortError("bench chain unplugged");
    }

    static ModuleState snapshot(const Module& module, TimePoint now) {
        const ModuleFirmware& firmware = *module.firmware;
        return {firmware.address(), firmware.type_code(), firmware.axes(now),
                firmware.moving(),  module.commands,      firmware.details(now)};
    }

    void receive(std::string_view line, TimePoint now) {
        if (text::strip(line) == roll_call_line) {
            for (auto& module : modules_) module.firmware->roll_call();
            return;
        }
        const auto parsed = parse_command(line);
        if (!parsed || parsed->first < 1 ||
            static_cast<std::size_t>(parsed->first) > modules_.size()) {
            return;
        }
        const int address = static_cast<int>(parsed->first);
        Module& module = modules_[static_cast<std::size_t>(address) - 1];
        module.commands.emplace_back(parsed->second);
        if (!module.faults.empty()) {
            const CommandFault fault = std::move(module.faults.front());
            module.faults.pop_front();
            if (fault.refusal) emit(address, "BAD " + *fault.refusal);
            return;
        }
        for (const auto& reply : module.firmware->handle(parsed->second, now, time_scale_)) {
            emit(address, reply);
        }
        // Motions of length zero complete right behind their acknowledgement.
        release_due(now);
    }

    // Releases due replies across the chain in the order they fell due.
    void release_due(TimePoint now) {
        release_late(now);
        for (;;) {
            Module* earliest = nullptr;
            TimePoint earliest_due{};
            for (auto& module : modules_) {
                const auto due = module.firmware->next_due();
                if (due && *due <= now && (!earliest || *due < earliest_due)) {
                    earliest = &module;
                    earliest_due = *due;
                }
            }
            if (!earliest) return;
            const int address = earliest->firmware->address();
            for (const auto& reply : earliest->firmware->release()) emit(address, reply);
        }
    }

    void release_late(TimePoint now) {
        while (!late_.empty() && late_.front().due <= now) {
            const LateLine line = std::move(late_.front());
            late_.pop_front();
            write_line(line.address, line.text);
        }
    }

    void emit(int address, std::string_view text) {
        if (link_ == 0 || unplugged_) return;
        Module& module = modules_[static_cast<std::size_t>(address) - 1];
        const TimePoint now = Clock::now();
        if (module.reply_delay == Clock::duration::zero() && module.last_late_due <= now) {
            write_line(address, text);
            return;
        }
        const TimePoint due = std::max(now + module.reply_delay, module.last_late_due);
        module.last_late_due = due;
        // Kept in order of due time; equal times keep their order.
        const auto at = std::upper_bound(late_.begin(), late_.end(), due,
                                         [](TimePoint t, const LateLine& l) { return t < l.due; });
        late_.insert(at, LateLine{due, address, std::string(text)});
    }

    void write_line(int address, std::string_view text) {
        if (link_ == 0 || unplugged_) return;
        const std::string line =
            "I" + text::integer(address) + " " + std::string(text) + line_ending_;
        if (split_next_) {
            split_next_ = false;
            if (!split_at_) split_at_ = output_.size() + line.size() / 2;
        }
        output_ += line;
    }

    [[nodiscard]] std::size_t available() const { return split_at_.value_or(output_.size()); }

    void sync_readiness() {
        if (!readiness_) return;
        std::optional<TimePoint> next;
        for (const auto& module : modules_) {
            const auto due = module.firmware->next_due();
            if (due && (!next || *due < *next)) next = due;
        }
        if (!late_.empty() && (!next || late_.front().due < *next)) next = late_.front().due;
        readiness_->set_pending(unplugged_ || available() > 0);
        readiness_->arm(unplugged_ ? std::nullopt : next);
    }

    mutable std::mutex mutex_;
    std::vector<Module> modules_;  // fixed after construction
    double time_scale_;
    std::shared_ptr<Readiness> readiness_;  // the open link's, or null
    std::uint64_t link_ = 0;                // the open link, 0 for none
    std::uint64_t links_opened_ = 0;
    std::string output_;
    std::deque<LateLine> late_;            // delayed reply lines, by due time
    std::string input_;                    // a command line still arriving
    std::optional<std::size_t> split_at_;  // output beyond this waits until the rest is read
    std::string line_ending_ = "\r\n";
    bool split_next_ = false;
    bool unplugged_ = false;
};

}  // namespace detail

// ---- ModuleView ----

ModuleView::ModuleView(std::shared_ptr<detail::ChainCore> core, int address)
    : core_(std::move(core)), address_(address) {}

ModuleState ModuleView::state() const { return core_->state(address_); }

void ModuleView::set_detail(std::string_view key, const DetailValue& value) const {
    core_->set_detail(address_, key, value);
}

// ---- SimPort ----

SimPort::SimPort(std::shared_ptr<detail::ChainCore> core)
    : core_(std::move(core)), readiness_(std::make_shared<Readiness>()) {
    link_ = core_->open_link(readiness_);
}

SimPort::~SimPort() {
    try {
        close();
    } catch (const std::exception&) {
        // Only the readiness descriptor can fail here; the chain outlives it anyway.
    }
}

bool SimPort::is_open() { return core_->is_open(link_); }

void SimPort::write(std::string_view bytes) { core_->write(link_, bytes); }

std::size_t SimPort::in_waiting() { return core_->in_waiting(link_); }

std::string SimPort::read(std::size_t count) { return core_->read(link_, count); }

void SimPort::close() { core_->close_link(link_); }

int SimPort::readiness_fd() const { return readiness_->fd(); }

// ---- Chain ----

Chain::Chain(std::span<const long long> type_codes, double time_scale)
    : core_(std::make_shared<detail::ChainCore>(type_codes, time_scale)), size_(core_->size()) {}

Chain::~Chain() = default;

double Chain::time_scale() const { return core_->time_scale(); }

void Chain::set_time_scale(double scale) { core_->set_time_scale(scale); }

std::shared_ptr<SimPort> Chain::open_port() { return std::make_shared<SimPort>(core_); }

std::unique_ptr<PtyServer> Chain::serve_pty() { return std::make_unique<PtyServer>(open_port()); }

ModuleView Chain::module(int address) const {
    core_->require_address(address);
    return ModuleView(core_, address);
}

ModuleState Chain::state(int address) const { return core_->state(address); }

std::vector<ModuleState> Chain::states() const { return core_->states(); }

void Chain::inject_notok(int address, std::string_view text) { core_->inject_notok(address, text); }

void Chain::refuse_next(int address, std::string_view code) { core_->refuse_next(address, code); }

void Chain::swallow_next(int address) { core_->swallow_next(address); }

void Chain::delay_replies(int address, double seconds) { core_->delay_replies(address, seconds); }

void Chain::late_refusal_next(int address, std::string_view code) {
    core_->late_refusal_next(address, code);
}

void Chain::inject_garbage(std::string_view bytes) { core_->inject_garbage(bytes); }

void Chain::set_detail(int address, std::string_view key, const DetailValue& value) {
    core_->set_detail(address, key, value);
}

void Chain::split_next_reply() { core_->split_next_reply(); }

void Chain::set_line_ending(std::string_view ending) { core_->set_line_ending(ending); }

void Chain::unplug() { core_->unplug(); }

}  // namespace orvak::sim
