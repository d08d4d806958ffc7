// The positive-displacement (syringe) pump: one piston on axis X whose
// position is a volume in µl (0 = at home, fully dispensed), moved at a speed
// in µl/min; the firmware works in these units, so volumes and speeds go out
// as they are. Two solenoid valves sit on the outlet manifold: valve 0, the
// priming / waste port, and valve 1, the outlet. Every move first selects and
// energises one of them.
//
// The driver tracks the piston's position from its own accepted commands;
// the relative moves (aspirate, dispense) compute against it, so any move or
// control whose outcome is uncertain makes it unknown. It also remembers the
// valve last configured on the manifold, to skip re-sending the selection.
//
// One class serves the three builds; the pump volume picks the type code,
// display name and speed cap. Class constants (the home-required code and
// noun, the valve-path refusal codes) and the axis letter are resolved
// through `resolve_constants` when each operation starts.
//
// Non-finite numbers never reach the wire: speed and stroke checks are
// written so that NaN fails them, a move refuses a speed cap or stroke that
// is not finite (either would wave any value through), and the move
// primitive refuses what would still slip through.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"
#include "orvak/instruments/axis_driver.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// The pump's class constants as resolved for one operation.
struct PistonPumpSettings {
    std::string axis;
    std::vector<std::string> valve_path_codes;
};

// What a pump volume selects.
struct PistonPumpSize {
    int type_code;
    std::string_view name;
    double max_speed;  // µl/min
};

class ORVAK_EXPORT PistonPump : public AxisDriver {
  public:
    static constexpr std::string_view home_required_code = "0x210";
    static constexpr std::string_view home_required_noun = "the pump";
    // Refusals of a move whose valve path is not open: the move is repeated
    // once after re-selecting and re-energising the valve.
    static constexpr std::array<std::string_view, 2> valve_path_codes{"0x301", "0x302"};
    // The 1 ml build: also what a volume that is no kind's counts as.
    // The constructor's default: the 1 ml build.
    static constexpr double default_pump_volume = 1000.0;
    // No valve selection is known; the next one must be sent.
    static constexpr long long unknown_valve = 9;
    static constexpr long long priming_valve = 0;
    static constexpr long long outlet_valve = 1;
    static constexpr double default_poll_timeout = 1.0;

    explicit PistonPump(int number = 0, double pump_volume = default_pump_volume);

    // The type code, name and speed cap of a build: the piston pump kind of
    // exactly that volume, else the 1 ml build with its own volume.
    [[nodiscard]] static PistonPumpSize size_for(double pump_volume);

    // Answers the home-required code and noun and the valve-path codes when
    // there is no host.
    void resolve_constants(std::span<ConstantRequest> requests) const override;
    [[nodiscard]] Description describe() const override;
    [[nodiscard]] PistonPumpSettings settings() const;

    // ---- motion ----
    // Homes the piston; with `wait`, returns once there (position 0.0).
    bool home(bool wait = true);
    // Moves the piston to `target_volume` µl at `speed` µl/min through `valve`.
    void run(double speed, double target_volume, long long valve = priming_valve,
             bool wait = false);
    // Moves by `volume` µl from the tracked position, drawing in or pushing out.
    void aspirate(double speed, double volume, long long valve = priming_valve, bool wait = false);
    void dispense(double speed, double volume, long long valve = outlet_valve, bool wait = false);
    void forget_tracked_state() override;

    // ---- position ----
    // The raw position reply.
    std::string check_position();
    // The live position in µl; empty on silence, a lost link or an unreadable reply.
    // No timeout means DONE_TIMEOUT.
    std::optional<double> check_position_ul(std::optional<double> timeout = default_poll_timeout);
    // The first number of the valve-state reply (or the whole reply when it
    // has none); empty on silence or a lost link.
    std::optional<std::string> check_valve_states(
        std::optional<double> timeout = default_poll_timeout);
    // The tracked position, or empty when unknown.
    [[nodiscard]] std::optional<double> current_position() const { return previous_volume; }

    // ---- estimates (seconds; each records its result) ----
    double estimate_run_time(double speed, double target_volume);
    double estimate_aspirate_time(double speed, double volume);
    double estimate_dispense_time(double speed, double volume);
    double estimate_home_time();

    // ---- building blocks ----
    // Writes the speed register, then moves; with `wait`, until DONE.
    void send_move(double speed, double target_volume, bool wait);
    // Configures `valve` on the manifold unless it is already; anything but
    // 0 or 1 means valve 0.
    void select_valve(long long valve);
    void activate_valve();
    void deactivate_valve();
    void require_known_position() const;
    [[nodiscard]] double known_or_midpoint_volume() const;

    // ---- state ----
    double max_speed;      // µl/min
    double piston_volume;  // µl, the full stroke
    double homing_speed;   // µl/min, a full stroke in 5 s; only for the estimate
    double estimated_home_time = 0.0;
    long long previous_valve = unknown_valve;
    // The tracked position in µl; empty while unknown.
    std::optional<double> previous_volume = 0.0;

  protected:
    [[nodiscard]] std::string control_axes() const override;
    void forget_on_stop() override;
    // Releases the valve and forgets what the clear re-zeroes.
    void before_reset() override;

  private:
    void move_to(std::string_view operation, double speed, double target_volume, long long valve,
                 bool wait);
    [[nodiscard]] double run_seconds(double speed, double target_volume) const;
    [[nodiscard]] std::optional<double> home_seconds() const;
};

}  // namespace orvak
