// The 12-port rotary selector valves: one rotary axis whose position is
// counted in rotations, port 1 at home (0 rotations) and each further port a
// twelfth of a turn on. The driver turns port numbers into moves, reads
// position replies back as port numbers and keeps the port it last knew the
// valve to be at, which feeds the time estimates.
//
// Class constants (NUM_PORTS, PORT_INCREMENT, RUN_SPEED_RPM, HOME_TIME_FLOOR_S,
// the home-required code and noun) and the axis letter are resolved through
// `resolve_constants` when each operation starts, so a host's values are the
// ones in force; without a host the defaults below apply.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orvak/errors.hpp"
#include "orvak/export.hpp"
#include "orvak/instruments/axis_driver.hpp"
#include "orvak/kinds.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

// The valve's class constants as resolved for one operation.
struct RotaryValveSettings {
    int num_ports{};
    double port_increment{};
    double run_speed_rpm{};
    double home_time_floor_s{};
    std::string axis;
};

class ORVAK_EXPORT RotaryValveBase : public AxisDriver {
  public:
    static constexpr long long default_num_ports = 12;
    static constexpr double default_port_increment = 1.0 / 12.0;
    static constexpr long long default_run_speed_rpm = 40;
    static constexpr double default_home_time_floor_s = 6.0;
    static constexpr std::string_view home_required_code = "0x210";
    static constexpr std::string_view home_required_noun = "the valve";
    // The position value after the axis letter, as a regular expression whose
    // "{}" is the escaped axis; check_position reads replies by it.
    static constexpr std::string_view position_value_template = grammar::axis_value_template;
    // The target `estimate_run_time` assumes when given none.
    static constexpr int default_estimate_target = 6;

    RotaryValveBase(int number, int instrument_id_number, std::string display_name);
    // A build of the kinds table; the builds differ only in bore, type code
    // and display name.
    RotaryValveBase(int number, const kinds::Kind& build);

    // Answers the home-required code and noun when there is no host.
    void resolve_constants(std::span<ConstantRequest> requests) const override;
    [[nodiscard]] Description describe() const override;

    // ---- motion ----
    // Homes the valve (port 1). With `wait`, returns once it is there.
    bool home(bool wait = true);
    // Turns to `port_number` (1 to NUM_PORTS); port 1 is reached by homing.
    void select_port(long long port_number, bool wait = true);
    void forget_tracked_state() override;

    // ---- position and estimates ----
    // Asks the valve where it is and returns that port.
    int check_position();
    // Seconds to turn from the current port (or the middle one) to `port_number`.
    double estimate_run_time(long long port_number = default_estimate_target);
    // Seconds a home takes, never less than HOME_TIME_FLOOR_S.
    double estimate_home_time();

    // The refusal of a port that is not on the dial; `got` is the port as written.
    [[nodiscard]] ValueError port_range_error(std::string_view got) const;
    [[nodiscard]] RotaryValveSettings settings() const;

    // ---- state ----
    // The port the valve is known to be at; empty before the first waited
    // home, move or position query, and while a move is under way.
    std::optional<int> current_port;
    std::optional<double> estimated_home_time;

  protected:
    [[nodiscard]] std::string control_axes() const override;
    // The port is unknown from the moment a halt may take effect.
    void forget_on_stop() override;

  private:
    // The estimates without recording them (a waited move reports its own).
    [[nodiscard]] double run_seconds(long long port_number,
                                     const RotaryValveSettings& settings) const;
    [[nodiscard]] double home_seconds(const RotaryValveSettings& settings) const;
    [[nodiscard]] double travel_seconds(unsigned long long steps,
                                        const RotaryValveSettings& settings) const;
    [[nodiscard]] long long estimate_start(const RotaryValveSettings& settings) const;
};

}  // namespace orvak
