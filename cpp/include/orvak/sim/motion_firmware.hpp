// The firmware of a module with motion axes, driven by a profile: homing
// (G10) with the home interlock, moves (G0) acknowledged with OK and
// completed with DONE after their duration times the time scale, halt (G3),
// resume (G5), re-zero (G4) and the position report (M300 "POS X0.5 $$$").
// A W1 motion makes the module busy (0x201) until it completes; a W0 motion
// is superseded by the next one. Kinds that move differently (a pump's
// speed register, an absolute or relative stroke) subclass it and reuse the
// protected motion helpers.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvak/sim/export.hpp"
#include "orvak/sim/firmware.hpp"

namespace orvak::sim {

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
    // Whether moves are refused (0x210) until the axis has been homed.
    bool home_interlock = true;
};

class ORVAK_SIM_EXPORT MotionFirmware : public ModuleFirmware {
  public:
    MotionFirmware(int address, int type_code, MotionProfile profile);

    [[nodiscard]] std::optional<TimePoint> next_due() const override;
    Replies release() override;
    void refuse_next_motion_late(std::string code) override;
    [[nodiscard]] bool moving() const override;
    [[nodiscard]] std::vector<AxisState> axes(TimePoint now) const override;

  protected:
    std::optional<Replies> command(std::string_view word, const Args& args, TimePoint now,
                                   double time_scale) override;

    // A motion command's axes (by profile index, with their numbers) and wait flag.
    struct Selection {
        std::vector<std::pair<std::size_t, std::optional<double>>> axes;
        bool wait = true;
    };
    // Empty for a malformed argument, an unknown or repeated axis, or (with
    // `values_required`) an axis without a number.
    [[nodiscard]] std::optional<Selection> select(const Args& args, bool values_required) const;
    // The selected axes, or every axis when the command named none.
    [[nodiscard]] std::vector<std::size_t> indices_of(const Selection& selection) const;

    // The standard commands, for subclasses that map their own words onto them.
    std::string move(const Args& args, TimePoint now, double scale);
    std::string home(const Args& args, TimePoint now, double scale);
    std::string halt(const Args& args, TimePoint now);
    std::string resume(const Args& args, TimePoint now);
    std::string rezero(const Args& args);
    // "POS X0.5 $$$" with the asked axes' positions in profile units.
    [[nodiscard]] virtual std::string position_report(const Args& args, TimePoint now) const;
    // How long a move from `from` to `targets` takes, before scaling; by
    // default the axes move independently, each at its own speed.
    [[nodiscard]] virtual double move_seconds(
        const std::vector<double>& from,
        const std::vector<std::pair<std::size_t, double>>& targets) const;
    // How long homing `indices` from `from` takes, before scaling; by default
    // as a move to 0, never shorter than the profile's floor.
    [[nodiscard]] virtual double home_seconds(const std::vector<double>& from,
                                              const std::vector<std::size_t>& indices) const;

    // Refusal code for starting a motion now, or empty when it may start.
    [[nodiscard]] std::optional<std::string_view> busy_refusal() const;
    // Starts a motion of the given axes to `targets` lasting `seconds` (before scaling).
    void start_motion(const std::vector<std::pair<std::size_t, double>>& targets, bool wait,
                      double seconds, TimePoint now, double scale, bool homing = false);
    // Profile units of each axis now (a running motion interpolated).
    [[nodiscard]] std::vector<double> positions(TimePoint now) const;
    // Sets settled positions (no motion may run); a re-zero or a counter reset.
    void set_position(std::size_t index, double value);
    [[nodiscard]] bool homed(std::size_t index) const { return homed_.at(index); }
    void set_homed(std::size_t index, bool homed) { homed_.at(index) = homed; }
    [[nodiscard]] const MotionProfile& profile() const noexcept { return profile_; }

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
    void start(Motion motion, double seconds, TimePoint now, double scale);

    const MotionProfile profile_;
    std::vector<double> position_;  // settled positions; a running motion overrides them
    std::vector<bool> homed_;
    std::optional<Motion> running_;
    std::optional<Motion> halted_;  // a halted motion's remainder, kept for a resume
    std::deque<std::string> late_refusals_;
};

}  // namespace orvak::sim
