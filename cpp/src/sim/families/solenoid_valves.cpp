// The solenoid valve arrays: eight valves X Y Z A B C D E.
// G30 0 sets the valve timing, G31 with all eight letter/state pairs
// configures the active set, G32 0 energises the configured set and G33 0
// de-energises every valve. The module shows both sets.
#include <algorithm>
#include <array>
#include <set>
#include <string>

#include "command_words.hpp"
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/codes.hpp"
#include "orvak/sim/firmware.hpp"

namespace orvak::sim {

namespace {

using detail::refusal;

constexpr std::array<char, 8> valve_letters{'X', 'Y', 'Z', 'A', 'B', 'C', 'D', 'E'};

std::vector<long long> listed(const std::set<long long>& valves) {
    return {valves.begin(), valves.end()};
}

class SolenoidFirmware final : public ModuleFirmware {
  public:
    using ModuleFirmware::ModuleFirmware;

    [[nodiscard]] std::vector<Detail> details(TimePoint /*now*/) const override {
        return {{"initialised", initialised_},
                {"configured", listed(configured_)},
                {"energised", listed(energised_)}};
    }

  protected:
    std::optional<Replies> command(std::string_view word, const Args& args, TimePoint /*now*/,
                                   double /*time_scale*/) override {
        if (word == "G31") return Replies{configure(args)};
        if (word != "G30" && word != "G32" && word != "G33") return std::nullopt;
        if (args.size() != 1 || detail::parse_number(args.front()) != 0.0) {
            return Replies{refusal(codes::bad_argument)};
        }
        if (word == "G30") initialised_ = true;
        if (word == "G32") energised_ = configured_;
        if (word == "G33") energised_.clear();
        return Replies{"OK"};
    }

  private:
    // Every valve must be named once, with state 0 or 1.
    std::string configure(const Args& args) {
        if (args.size() != valve_letters.size()) return refusal(codes::bad_argument);
        std::set<long long> active;
        std::set<char> named;
        for (const auto word : args) {
            const auto arg = detail::parse_arg(word);
            if (!arg || !arg->value || (*arg->value != 0.0 && *arg->value != 1.0)) {
                return refusal(codes::bad_argument);
            }
            const auto* found = std::find(valve_letters.begin(), valve_letters.end(), arg->letter);
            if (found == valve_letters.end() || !named.insert(arg->letter).second) {
                return refusal(codes::bad_argument);
            }
            if (*arg->value == 1.0) active.insert(found - valve_letters.begin() + 1);
        }
        configured_ = std::move(active);
        return "OK";
    }

    bool initialised_ = false;
    std::set<long long> configured_;
    std::set<long long> energised_;
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_solenoid_valves_firmware(int address, const kinds::Kind& kind) {
    return std::make_unique<SolenoidFirmware>(address, kind.type_code);
}

}  // namespace orvak::sim
