// The firmware of one emulated module: the base commands every module answers
// (identity, version, homed flags) and, for kinds that move, a generic motion
// firmware driven by a profile. A new moving kind only needs a profile in the
// catalogue. Not thread-safe: the chain owning it serialises every call.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"

namespace orvak::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct AxisProfile {
    char letter;
    double min;
    double max;
    bool max_inclusive;
    double units_per_second;
};

struct MotionProfile {
    std::vector<AxisProfile> axes;
    // A home never takes less than this, however close to the datum the axis is.
    double home_floor_seconds;
};

// The lowest and highest type codes a module can report (0 is never assigned).
inline constexpr long long min_type_code = 1;
inline constexpr long long max_type_code = 65535;
inline constexpr std::string_view firmware_version = "v2.4.1";

// The motion profile of a module kind; nullopt for kinds with base firmware only.
ORVAK_EXPORT std::optional<MotionProfile> motion_profile_for(int type_code);
// Whether the emulator can play a module reporting this type code.
ORVAK_EXPORT bool has_firmware(long long type_code);

struct AxisState {
    char letter;
    bool homed;
    double position;
};

class ORVAK_EXPORT Firmware {
  public:
    Firmware(int address, int type_code);

    // The reply (text without the address) to one command arriving at `now`.
    // Motion lengths are multiplied by `time_scale`.
    std::string handle(std::string_view command, TimePoint now, double time_scale);

    // When the reply that ends the running motion falls due, if one runs.
    [[nodiscard]] std::optional<TimePoint> next_due() const;
    // Ends the running motion and returns its reply ("DONE" or a late refusal).
    // Only valid when next_due() is set.
    std::string release();

    // The next motion this module starts is acknowledged, then refused with
    // `code` halfway through instead of completing.
    void refuse_next_motion_late(std::string code);

    [[nodiscard]] int address() const noexcept { return address_; }
    [[nodiscard]] int type_code() const noexcept { return type_code_; }
    [[nodiscard]] bool moving() const noexcept { return running_.has_value(); }
    // Positions interpolated at `now` for a running motion.
    [[nodiscard]] std::vector<AxisState> axes(TimePoint now) const;

  private:
    struct Motion {
        bool home = false;
        bool wait = true;
        std::vector<double> from;
        std::vector<double> to;
        std::vector<bool> involved;
        TimePoint began;
        Clock::duration length{};
        std::optional<std::string> late_refusal;

        [[nodiscard]] double fraction(TimePoint now) const;
        [[nodiscard]] std::vector<double> at(double fraction) const;
        [[nodiscard]] TimePoint due() const;
    };
    [[nodiscard]] std::vector<double> positions(TimePoint now) const;
    using Args = std::vector<std::string_view>;
    [[nodiscard]] std::string homed_report(const Args& args) const;
    std::string move(const Args& args, TimePoint now, double scale);
    std::string home(const Args& args, TimePoint now, double scale);
    std::string halt(const Args& args, TimePoint now);
    std::string resume(const Args& args, TimePoint now);
    std::string rezero(const Args& args);
    [[nodiscard]] std::string position_report(const Args& args, TimePoint now) const;
    void start(Motion motion, double seconds, TimePoint now, double scale);

    const int address_;
    const int type_code_;
    const std::optional<MotionProfile> profile_;
    std::vector<double> position_;  // settled positions; a running motion overrides them
    std::vector<bool> homed_;
    std::optional<Motion> running_;
    std::optional<Motion> halted_;  // a halted motion's remainder, kept for a resume
    std::deque<std::string> late_refusals_;
};

}  // namespace orvak::sim
