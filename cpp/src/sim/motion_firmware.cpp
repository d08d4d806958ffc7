#include "orvak/sim/motion_firmware.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "command_words.hpp"
#include "orvak/pytext.hpp"
#include "orvak/sim/codes.hpp"

namespace orvak::sim {

using detail::refusal;

namespace {

// Longest motion the emulator schedules, so a huge time scale cannot overflow
// the clock.
constexpr double max_scaled_seconds = 1e7;

bool within(const AxisProfile& axis, double value) {
    return value >= axis.min && (axis.max_inclusive ? value <= axis.max : value < axis.max);
}

}  // namespace

double MotionFirmware::Motion::fraction(TimePoint now) const {
    if (length <= Clock::duration::zero()) return 1.0;
    const double done = std::chrono::duration<double>(now - began) / length;
    return std::clamp(done, 0.0, 1.0);
}

std::vector<double> MotionFirmware::Motion::at(double fraction) const {
    if (fraction >= 1.0) return to;
    std::vector<double> out(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) out[i] = from[i] + (to[i] - from[i]) * fraction;
    return out;
}

TimePoint MotionFirmware::Motion::due() const {
    return began + (late_refusal ? length / 2 : length);
}

MotionFirmware::MotionFirmware(int address, int type_code, MotionProfile profile)
    : ModuleFirmware(address, type_code), profile_(std::move(profile)) {
    position_.assign(profile_.axes.size(), 0.0);
    homed_.assign(profile_.axes.size(), false);
}

std::optional<Replies> MotionFirmware::command(std::string_view word, const Args& args,
                                               TimePoint now, double time_scale) {
    if (word == "G0") return Replies{move(args, now, time_scale)};
    if (word == "G10") return Replies{home(args, now, time_scale)};
    if (word == "G3") return Replies{halt(args, now)};
    if (word == "G5") return Replies{resume(args, now)};
    if (word == "G4") return Replies{rezero(args)};
    if (word == "M300") return Replies{position_report(args, now)};
    return std::nullopt;
}

std::optional<TimePoint> MotionFirmware::next_due() const {
    if (!running_) return std::nullopt;
    return running_->due();
}

Replies MotionFirmware::release() {
    Motion motion = std::move(running_.value());
    running_.reset();
    if (motion.late_refusal) {
        position_ = motion.at(0.5);
        return {refusal(*motion.late_refusal)};
    }
    position_ = motion.to;
    if (motion.home) {
        for (std::size_t i = 0; i < homed_.size(); ++i) {
            if (motion.involved[i]) homed_[i] = true;
        }
    }
    return {"DONE"};
}

void MotionFirmware::refuse_next_motion_late(std::string code) {
    late_refusals_.push_back(std::move(code));
}

bool MotionFirmware::moving() const { return running_.has_value(); }

std::vector<AxisState> MotionFirmware::axes(TimePoint now) const {
    std::vector<AxisState> out;
    const auto where = positions(now);
    for (std::size_t i = 0; i < where.size(); ++i) {
        out.push_back({profile_.axes[i].letter, homed_[i], where[i]});
    }
    return out;
}

std::vector<double> MotionFirmware::positions(TimePoint now) const {
    return running_ ? running_->at(running_->fraction(now)) : position_;
}

void MotionFirmware::set_position(std::size_t index, double value) { position_.at(index) = value; }

std::optional<MotionFirmware::Selection> MotionFirmware::select(const Args& args,
                                                                bool values_required) const {
    Selection selection;
    for (const auto word : args) {
        const auto arg = detail::parse_arg(word);
        if (!arg) return std::nullopt;
        if (arg->letter == 'W') {
            if (arg->value != 0.0 && arg->value != 1.0) return std::nullopt;
            selection.wait = arg->value == 1.0;
            continue;
        }
        const auto found =
            std::find_if(profile_.axes.begin(), profile_.axes.end(),
                         [&](const AxisProfile& a) { return a.letter == arg->letter; });
        if (found == profile_.axes.end()) return std::nullopt;
        const auto index = static_cast<std::size_t>(found - profile_.axes.begin());
        const bool repeated = std::any_of(selection.axes.begin(), selection.axes.end(),
                                          [&](const auto& taken) { return taken.first == index; });
        if (repeated || (values_required && !arg->value)) return std::nullopt;
        selection.axes.emplace_back(index, arg->value);
    }
    return selection;
}

std::vector<std::size_t> MotionFirmware::indices_of(const Selection& selection) const {
    std::vector<std::size_t> indices;
    for (const auto& [index, value] : selection.axes) indices.push_back(index);
    if (indices.empty()) {
        for (std::size_t i = 0; i < profile_.axes.size(); ++i) indices.push_back(i);
    }
    return indices;
}

std::optional<std::string_view> MotionFirmware::busy_refusal() const {
    if (running_ && running_->wait) return codes::busy;
    return std::nullopt;
}

std::string MotionFirmware::move(const Args& args, TimePoint now, double scale) {
    const auto selection = select(args, true);
    if (!selection || selection->axes.empty()) return refusal(codes::bad_argument);
    for (const auto& [index, value] : selection->axes) {
        if (!within(profile_.axes[index], *value)) return refusal(codes::out_of_range);
    }
    if (const auto busy = busy_refusal()) return refusal(*busy);
    if (profile_.home_interlock) {
        for (const auto& [index, value] : selection->axes) {
            if (!homed_[index]) return refusal(codes::not_homed);
        }
    }
    std::vector<std::pair<std::size_t, double>> targets;
    for (const auto& [index, value] : selection->axes) targets.emplace_back(index, *value);
    start_motion(targets, selection->wait, move_seconds(positions(now), targets), now, scale);
    return "OK";
}

std::string MotionFirmware::home(const Args& args, TimePoint now, double scale) {
    const auto selection = select(args, false);
    if (!selection) return refusal(codes::bad_argument);
    if (const auto busy = busy_refusal()) return refusal(*busy);
    const auto indices = indices_of(*selection);
    std::vector<std::pair<std::size_t, double>> targets;
    for (const std::size_t index : indices) targets.emplace_back(index, 0.0);
    start_motion(targets, selection->wait, home_seconds(positions(now), indices), now, scale, true);
    return "OK";
}

double MotionFirmware::move_seconds(
    const std::vector<double>& from,
    const std::vector<std::pair<std::size_t, double>>& targets) const {
    double seconds = 0.0;
    for (const auto& [index, value] : targets) {
        seconds = std::max(seconds,
                           std::abs(value - from[index]) / profile_.axes[index].units_per_second);
    }
    return seconds;
}

double MotionFirmware::home_seconds(const std::vector<double>& from,
                                    const std::vector<std::size_t>& indices) const {
    double seconds = profile_.home_floor_seconds;
    for (const std::size_t index : indices) {
        seconds = std::max(seconds, std::abs(from[index]) / profile_.axes[index].units_per_second);
    }
    return seconds;
}

void MotionFirmware::start_motion(const std::vector<std::pair<std::size_t, double>>& targets,
                                  bool wait, double seconds, TimePoint now, double scale,
                                  bool homing) {
    Motion motion;
    motion.home = homing;
    motion.wait = wait;
    motion.from = positions(now);
    motion.to = motion.from;
    motion.involved.assign(motion.from.size(), false);
    for (const auto& [index, value] : targets) {
        motion.to.at(index) = value;
        motion.involved.at(index) = true;
    }
    start(std::move(motion), seconds, now, scale);
}

void MotionFirmware::start(Motion motion, double seconds, TimePoint now, double scale) {
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

std::string MotionFirmware::halt(const Args& args, TimePoint now) {
    if (!select(args, false)) return refusal(codes::bad_argument);
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

std::string MotionFirmware::resume(const Args& args, TimePoint now) {
    if (!select(args, false)) return refusal(codes::bad_argument);
    if (halted_ && !running_) {
        halted_->began = now;
        running_ = std::move(halted_);
        halted_.reset();
    }
    return "OK";
}

std::string MotionFirmware::rezero(const Args& args) {
    const auto selection = select(args, false);
    if (!selection) return refusal(codes::bad_argument);
    if (running_) return refusal(codes::busy);
    for (const std::size_t index : indices_of(*selection)) {
        position_[index] = 0.0;
        homed_[index] = false;
    }
    halted_.reset();
    return "OK";
}

std::string MotionFirmware::position_report(const Args& args, TimePoint now) const {
    const auto selection = select(args, false);
    if (!selection) return refusal(codes::bad_argument);
    const auto where = positions(now);
    std::string report = "POS";
    for (const std::size_t index : indices_of(*selection)) {
        report += ' ';
        report += profile_.axes[index].letter;
        report += text::number(where[index]);
    }
    return report + " $$$";
}

}  // namespace orvak::sim
