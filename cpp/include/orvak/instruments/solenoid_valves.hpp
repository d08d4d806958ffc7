// The solenoid valve arrays: up to eight on/off valves per module, each named
// by an axis letter (VALVE_AXES) and addressed by its 1-based index.
// Switching is three steps on the module: configure the active set (G31),
// energise it (G32), de-energise everything (G33). The driver remembers the
// set the module was last configured with, so asking for the same set again
// only re-energises.
//
// Acknowledgements are judged with the boolean wait_for_ok, and each failed
// step raises a time-out naming it. When the configuration line is not
// acknowledged for any reason (silence, a refusal, a hardware fault, an
// interrupt) the remembered set is forgotten before the error leaves: the
// module's configuration is then uncertain, and the next request must send it
// again rather than energise whatever the module last held.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"
#include "orvak/instrument.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// The kind of a valve array model; throws ValueError for a code no valve
// array model has.
ORVAK_EXPORT const kinds::Kind& solenoid_valve_model(int type_code);

class ORVAK_EXPORT SolenoidValveBase : public Instrument {
  public:
    static constexpr int valve_count = 8;
    static constexpr std::array<std::string_view, valve_count> default_valve_axes{
        "X", "Y", "Z", "A", "B", "C", "D", "E"};
    static constexpr double switching_estimate_s = 0.1;

    SolenoidValveBase(int number, int instrument_id_number, std::string display_name);
    SolenoidValveBase(int number, const kinds::Kind& model);

    // Sets the module's valve timing and hold parameters (G30 0).
    [[nodiscard]] Description describe() const override;
    void initialize();
    // Energises exactly the valves numbered (1 to 8); fractional numbers are
    // truncated. The set is checked before anything is sent.
    void turn_on_valves(std::span<const double> valve_numbers);
    void turn_on_valves(std::initializer_list<double> valve_numbers);
    // De-energises every valve; the configured set is kept.
    void turn_off_valves();
    // The valve state holds across a pause: stop and resume send nothing.
    void stop() override;
    void forget_tracked_state() override;
    void resume() override;
    void reset() override;
    double estimate_run_time();

    // The valve set `valve_numbers` names, truncated; ValueError when any is
    // outside 1 to 8.
    [[nodiscard]] std::set<int> valve_set(std::span<const double> valve_numbers) const;
    // "G31 X1 Y0 ..." configuring `valves` as the active set.
    [[nodiscard]] std::string configuration_line(const std::set<int>& valves) const;
    [[nodiscard]] std::vector<std::string> valve_axes() const;

    // ---- state ----
    // The set the module was last configured with; empty when a configuration
    // failed and the module's configuration is uncertain.
    std::optional<std::set<int>> previous_valve_set = std::set<int>{};
};

}  // namespace orvak
