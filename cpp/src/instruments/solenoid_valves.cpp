#include "orvak/instruments/solenoid_valves.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak {

namespace {

// A valve number as the refusal lists it: truncated, or as written when it
// has no whole part (an infinity, NaN).
std::string shown_index(double index) {
    // + 0.0 makes a truncated -0.5 read "0", as int() gives.
    return std::isfinite(index) ? text::fixed(index + 0.0, 0) : text::number(index);
}

// Ascending, NaN last.
bool index_before(double a, double b) {
    if (std::isnan(a)) return false;
    return std::isnan(b) || a < b;
}

}  // namespace

const kinds::Kind& solenoid_valve_model(int type_code) {
    if (const auto* model = kinds::find_in("solenoidbank", type_code)) return *model;
    throw ValueError(
        text::fill("no solenoid valve array model has type code {}", {text::integer(type_code)}));
}

SolenoidValveBase::SolenoidValveBase(int number, int type_code, std::string display_name) {
    name = std::move(display_name);
    instrument_number = number;
    instrument_id_number = type_code;
}

SolenoidValveBase::SolenoidValveBase(int number, const kinds::Kind& model)
    : SolenoidValveBase(number, model.type_code, std::string(model.display_name)) {}

std::vector<std::string> SolenoidValveBase::valve_axes() const {
    std::array<ConstantRequest, 1> requests{{
        {"VALVE_AXES",
         std::vector<std::string>(default_valve_axes.begin(), default_valve_axes.end())},
    }};
    resolve_constants(requests);
    const auto& value = requests[0].value;
    if (const auto* letters = std::get_if<std::vector<std::string>>(&value)) return *letters;
    // A text of letters reads letter by letter.
    if (const auto* letters = std::get_if<std::string>(&value)) {
        std::vector<std::string> out;
        for (const char letter : *letters) out.emplace_back(1, letter);
        return out;
    }
    throw ArgumentTypeError("class constant VALVE_AXES must be a sequence of axis letters");
}

std::set<int> SolenoidValveBase::valve_set(std::span<const double> valve_numbers) const {
    std::set<int> valves;
    std::vector<double> offending;
    for (const double number : valve_numbers) {
        const double index = std::trunc(number);
        if (index >= 1.0 && index <= static_cast<double>(valve_count)) {
            valves.insert(static_cast<int>(index));
        } else if (std::find_if(offending.begin(), offending.end(), [&](double seen) {
                       return seen == index || (std::isnan(seen) && std::isnan(index));
                   }) == offending.end()) {
            offending.push_back(index);
        }
    }
    if (offending.empty()) return valves;
    std::sort(offending.begin(), offending.end(), index_before);
    std::string listed;
    for (const double index : offending) {
        if (!listed.empty()) listed += ", ";
        listed += shown_index(index);
    }
    throw ValueError(
        text::fill("{}: valve indices must be 1\xE2\x80\x93"
                   "8; got [{}]",
                   {name, listed}));
}

std::string SolenoidValveBase::configuration_line(const std::set<int>& valves) const {
    std::string pairs;
    int index = 0;
    for (const auto& letter : valve_axes()) {
        ++index;
        if (!pairs.empty()) pairs += ' ';
        pairs += letter;
        pairs += valves.contains(index) ? '1' : '0';
    }
    return "G31 " + pairs;
}

void SolenoidValveBase::initialize() {
    send_command({"G30 0"});
    if (!wait_for_ok()) throw TimeoutError(name + ": init failed (no OK/BAD for G30 0)");
}

void SolenoidValveBase::turn_on_valves(std::span<const double> valve_numbers) {
    const auto requested = valve_set(valve_numbers);
    if (requested != previous_valve_set) {
        const std::string line = configuration_line(requested);
        // Uncertain from here until the module acknowledges, whatever ends the wait.
        previous_valve_set.reset();
        send_command({line});
        if (!wait_for_ok()) {
            throw TimeoutError(name + ": config failed (no OK/BAD for G31 ...)");
        }
        previous_valve_set = requested;
    }
    send_command({"G32 0"});
    if (!wait_for_ok()) throw TimeoutError(name + ": energize failed (no OK/BAD for G32 0)");
}

void SolenoidValveBase::turn_on_valves(std::initializer_list<double> valve_numbers) {
    turn_on_valves(std::span<const double>(valve_numbers.begin(), valve_numbers.size()));
}

void SolenoidValveBase::turn_off_valves() {
    send_command({"G33 0"});
    if (!wait_for_ok()) {
        throw TimeoutError(name + ": de-energize failed (no OK/BAD for G33 0)");
    }
}

void SolenoidValveBase::stop() {}

void SolenoidValveBase::forget_tracked_state() { previous_valve_set.reset(); }

void SolenoidValveBase::resume() {}

void SolenoidValveBase::reset() { turn_off_valves(); }

double SolenoidValveBase::estimate_run_time() {
    estimated_run_time = switching_estimate_s;
    return estimated_run_time;
}

}  // namespace orvak

namespace orvak {

Description SolenoidValveBase::describe() const {
    const ParameterInfo valves{.name = "valve_numbers",
                               .type = "Iterable[int]",
                               .minimum = 1.0,
                               .maximum = static_cast<double>(valve_axes().size()),
                               .maximum_from = "len(VALVE_AXES)"};
    Description about = Instrument::describe();
    about.declare({.name = "initialize",
                   .kind = OperationKind::setting,
                   .doc = "Sets the module's valve timing and hold parameters; call once before "
                          "switching."});
    about.declare({.name = "turn_on_valves",
                   .kind = OperationKind::setting,
                   .parameters = {valves},
                   .doc = "Energises exactly the valves numbered (1 to 8); repeating the last set "
                          "only re-energises it."});
    about.declare({.name = "turn_off_valves",
                   .kind = OperationKind::setting,
                   .doc = "De-energises every valve; the configured set is kept."});
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .parameters = {valves},
                   .result = {.type = "float", .unit = units::second},
                   .doc = "Seconds a switch takes (0.1, whatever the set); also stored in "
                          "estimated_run_time."});
    about.declare_controls("Does nothing: the valves keep their state across a pause.",
                           "Does nothing: the valves kept their state.",
                           "De-energises every valve.");
    return about;
}

}  // namespace orvak
