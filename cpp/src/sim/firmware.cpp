#include "orvak/sim/firmware.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "orvak/pytext.hpp"
#include "orvak/sim/codes.hpp"

namespace orvak::sim {

namespace {

// Longest motion the emulator schedules, so a huge time scale cannot overflow
// the clock.
constexpr double max_scaled_seconds = 1e7;

MotionProfile rotary_valve() {
    // One axis in rotations: 0 is port 1, each further port 1/12 on; 40 rpm.
    return {{{'X', 0.0, 1.0, false, 40.0 / 60.0}}, 6.0};
}

std::string refusal(std::string_view code) { return "BAD " + std::string(code); }

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text::is_space(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !text::is_space(text[i])) ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// An argument word: a letter, optionally followed by a finite number.
struct Arg {
    char letter;
    std::optional<double> value;
};

std::optional<Arg> parse_arg(std::string_view word) {
    if (word.empty() || !is_letter(word.front())) return std::nullopt;
    Arg arg{upper(word.front()), std::nullopt};
    const std::string_view number = word.substr(1);
    if (number.empty()) return arg;
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    arg.value = value;
    return arg;
}

// The axes (by profile index, with their numbers) and wait flag of a motion
// command's arguments.
struct Selection {
    std::vector<std::pair<std::size_t, std::optional<double>>> axes;
    bool wait = true;
};

std::optional<Selection> select(const MotionProfile& profile,
                                const std::vector<std::string_view>& args, bool values_required) {
    Selection selection;
    for (const auto word : args) {
        const auto arg = parse_arg(word);
        if (!arg) return std::nullopt;
        if (arg->letter == 'W') {
            if (arg->value != 0.0 && arg->value != 1.0) return std::nullopt;
            selection.wait = arg->value == 1.0;
            continue;
        }
        const auto found =
            std::find_if(profile.axes.begin(), profile.axes.end(),
                         [&](const AxisProfile& a) { return a.letter == arg->letter; });
        if (found == profile.axes.end()) return std::nullopt;
        const auto index = static_cast<std::size_t>(found - profile.axes.begin());
        const bool repeated = std::any_of(selection.axes.begin(), selection.axes.end(),
                                          [&](const auto& taken) { return taken.first == index; });
        if (repeated || (values_required && !arg->value)) return std::nullopt;
        selection.axes.emplace_back(index, arg->value);
    }
    return selection;
}

// The selected axes, or every axis when the command named none.
std::vector<std::size_t> indices_of(const Selection& selection, std::size_t axis_count) {
    std::vector<std::size_t> indices;
    for (const auto& [index, value] : selection.axes) indices.push_back(index);
    if (indices.empty()) {
        for (std::size_t i = 0; i < axis_count; ++i) indices.push_back(i);
    }
    return indices;
}

bool within(const AxisProfile& axis, double value) {
    return value >= axis.min && (axis.max_inclusive ? value <= axis.max : value < axis.max);
}

}  // namespace

std::optional<MotionProfile> motion_profile_for(int type_code) {
    switch (type_code) {
        case 2:
        case 6:
        case 17:
            return rotary_valve();
        default:
            return std::nullopt;
    }
}

bool has_firmware(long long type_code) {
    return type_code >= min_type_code && type_code <= max_type_code;
}

double Firmware::Motion::fraction(TimePoint now) const {
    if (length <= Clock::duration::zero()) return 1.0;
    const double done = std::chrono::duration<double>(now - began) / length;
    return std::clamp(done, 0.0, 1.0);
}

std::vector<double> Firmware::Motion::at(double fraction) const {
    if (fraction >= 1.0) return to;
    std::vector<double> out(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) out[i] = from[i] + (to[i] - from[i]) * fraction;
    return out;
}

TimePoint Firmware::Motion::due() const { return began + (late_refusal ? length / 2 : length); }

Firmware::Firmware(int address, int type_code)
    : address_(address), type_code_(type_code), profile_(motion_profile_for(type_code)) {
    const std::size_t axes = profile_ ? profile_->axes.size() : 0;
    position_.assign(axes, 0.0);
    homed_.assign(axes, false);
}

std::string Firmware::handle(std::string_view command, TimePoint now, double time_scale) {
    const auto words = words_of(command);
    if (words.empty()) return refusal(codes::unknown_command);
    const std::string_view word = words.front();
    const Args args(words.begin() + 1, words.end());
    if (word == "M116") return text::integer(type_code_);
    if (word == "M115") {
        return address_ == 1 ? std::string(firmware_version) : refusal(codes::not_leader);
    }
    if (word == "M304") return homed_report(args);
    if (!profile_) return refusal(codes::unknown_command);
    if (word == "G0") return move(args, now, time_scale);
    if (word == "G10") return home(args, now, time_scale);
    if (word == "G3") return halt(args, now);
    if (word == "G5") return resume(args, now);
    if (word == "G4") return rezero(args);
    if (word == "M300") return position_report(args, now);
    return refusal(codes::unknown_command);
}

std::optional<TimePoint> Firmware::next_due() const {
    if (!running_) return std::nullopt;
    return running_->due();
}

std::string Firmware::release() {
    Motion motion = std::move(running_.value());
    running_.reset();
    if (motion.late_refusal) {
        position_ = motion.at(0.5);
        return refusal(*motion.late_refusal);
    }
    position_ = motion.to;
    if (motion.home) {
        for (std::size_t i = 0; i < homed_.size(); ++i) {
            if (motion.involved[i]) homed_[i] = true;
        }
    }
    return "DONE";
}

void Firmware::refuse_next_motion_late(std::string code) {
    late_refusals_.push_back(std::move(code));
}

std::vector<AxisState> Firmware::axes(TimePoint now) const {
    std::vector<AxisState> out;
    if (!profile_) return out;
    const auto where = positions(now);
    for (std::size_t i = 0; i < where.size(); ++i) {
        out.push_back({profile_->axes[i].letter, homed_[i], where[i]});
    }
    return out;
}

std::vector<double> Firmware::positions(TimePoint now) const {
    return running_ ? running_->at(running_->fraction(now)) : position_;
}

std::string Firmware::homed_report(const Args& args) const {
    std::vector<char> asked;
    for (const auto word : args) {
        if (word.size() != 1 || !is_letter(word.front())) return refusal(codes::bad_argument);
        asked.push_back(upper(word.front()));
    }
    if (asked.empty()) {
        if (!profile_) return refusal(codes::bad_argument);
        for (const auto& axis : profile_->axes) asked.push_back(axis.letter);
    }
    std::string report;
    for (const char letter : asked) {
        bool homed = false;
        if (profile_) {
            for (std::size_t i = 0; i < profile_->axes.size(); ++i) {
                if (profile_->axes[i].letter == letter) homed = homed_[i];
            }
        }
        if (!report.empty()) report += ' ';
        report += letter;
        report += homed ? " HOMED:1" : " HOMED:0";
    }
    return report;
}

std::string Firmware::move(const Args& args, TimePoint now, double scale) {
    const auto selection = select(*profile_, args, true);
    if (!selection || selection->axes.empty()) return refusal(codes::bad_argument);
    for (const auto& [index, value] : selection->axes) {
        if (!within(profile_->axes[index], *value)) return refusal(codes::out_of_range);
    }
    if (running_ && running_->wait) return refusal(codes::busy);
    for (const auto& [index, value] : selection->axes) {
        if (!homed_[index]) return refusal(codes::not_homed);
    }
    Motion motion;
    motion.wait = selection->wait;
    motion.from = positions(now);
    motion.to = motion.from;
    motion.involved.assign(motion.from.size(), false);
    double seconds = 0.0;
    for (const auto& [index, value] : selection->axes) {
        motion.to[index] = *value;
        motion.involved[index] = true;
        seconds = std::max(seconds, std::abs(*value - motion.from[index]) /
                                        profile_->axes[index].units_per_second);
    }
    start(std::move(motion), seconds, now, scale);
    return "OK";
}

std::string Firmware::home(const Args& args, TimePoint now, double scale) {
    const auto selection = select(*profile_, args, false);
    if (!selection) return refusal(codes::bad_argument);
    if (running_ && running_->wait) return refusal(codes::busy);
    Motion motion;
    motion.home = true;
    motion.wait = selection->wait;
    motion.from = positions(now);
    motion.to = motion.from;
    motion.involved.assign(motion.from.size(), false);
    double seconds = profile_->home_floor_seconds;
    for (const std::size_t index : indices_of(*selection, profile_->axes.size())) {
        motion.to[index] = 0.0;
        motion.involved[index] = true;
        seconds = std::max(seconds,
                           std::abs(motion.from[index]) / profile_->axes[index].units_per_second);
    }
    start(std::move(motion), seconds, now, scale);
    return "OK";
}

void Firmware::start(Motion motion, double seconds, TimePoint now, double scale) {
    // A motion superseding a running one starts from where that one has got to.
    position_ = motion.from;
    motion.began = now;
    motion.length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::min(seconds * scale, max_scaled_seconds)));
    if (!late_refusals_.empty()) {
        motion.late_refusal = std::move(late_refusals_.front());
        late_refusals_.pop_front();
    }
    running_ = std::move(motion);
    halted_.reset();
}

std::string Firmware::halt(const Args& args, TimePoint now) {
    if (!select(*profile_, args, false)) return refusal(codes::bad_argument);
    if (running_) {
        Motion rest = std::move(*running_);
        running_.reset();
        position_ = rest.at(rest.fraction(now));
        rest.from = position_;
        rest.length = std::max(Clock::duration::zero(), rest.length - (now - rest.began));
        halted_ = std::move(rest);
    }
    return "OK";
}

std::string Firmware::resume(const Args& args, TimePoint now) {
    if (!select(*profile_, args, false)) return refusal(codes::bad_argument);
    if (halted_ && !running_) {
        halted_->began = now;
        running_ = std::move(halted_);
        halted_.reset();
    }
    return "OK";
}

std::string Firmware::rezero(const Args& args) {
    const auto selection = select(*profile_, args, false);
    if (!selection) return refusal(codes::bad_argument);
    if (running_) return refusal(codes::busy);
    for (const std::size_t index : indices_of(*selection, profile_->axes.size())) {
        position_[index] = 0.0;
        homed_[index] = false;
    }
    halted_.reset();
    return "OK";
}

std::string Firmware::position_report(const Args& args, TimePoint now) const {
    const auto selection = select(*profile_, args, false);
    if (!selection) return refusal(codes::bad_argument);
    const auto where = positions(now);
    std::string report = "POS";
    for (const std::size_t index : indices_of(*selection, profile_->axes.size())) {
        report += ' ';
        report += profile_->axes[index].letter;
        report += text::number(where[index]);
    }
    return report + " $$$";
}

}  // namespace orvak::sim
