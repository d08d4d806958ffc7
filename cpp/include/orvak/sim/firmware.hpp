// The firmware of one emulated module. Every kind answers the base commands
// (identity M116, leadership and version M115, homed flags M304); each kind
// adds its own commands in a subclass, in a file of its own under src/sim,
// and `make_firmware` picks the class for a type code. Kinds the emulator
// does not play yet get the base firmware only.
//
// The firmware parses command lines itself and never uses the drivers' code:
// a driver sending a wrong line must fail here, not pass on both sides.
// Not thread-safe: the chain owning a firmware serialises every call.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "orvak/sim/export.hpp"

namespace orvak::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// The lowest and highest type codes a module can report (0 is never assigned).
inline constexpr long long min_type_code = 1;
inline constexpr long long max_type_code = 65535;
inline constexpr std::string_view firmware_version = "v2.4.1";

// Whether the emulator can play a module reporting this type code.
ORVAK_SIM_EXPORT bool has_firmware(long long type_code);

struct AxisState {
    char letter;
    bool homed;
    double position;
};

// One piece of kind-specific state a module shows (the energised valves, a
// roller count, a probe's reading) or lets a test set.
using DetailValue = std::variant<bool, long long, double, std::string, std::vector<long long>,
                                 std::vector<double>, std::vector<std::string>>;
struct Detail {
    std::string key;
    DetailValue value;
};

// Reply texts (without the address) in the order they go out; none is silence.
using Replies = std::vector<std::string>;

class ORVAK_SIM_EXPORT ModuleFirmware {
  public:
    ModuleFirmware(int address, int type_code);
    ModuleFirmware(const ModuleFirmware&) = delete;
    ModuleFirmware& operator=(const ModuleFirmware&) = delete;
    virtual ~ModuleFirmware();

    // The replies to one command arriving at `now`. Motion lengths are
    // multiplied by `time_scale`.
    virtual Replies handle(std::string_view command, TimePoint now, double time_scale);

    // When the next unprompted reply (a DONE, a late refusal) falls due.
    [[nodiscard]] virtual std::optional<TimePoint> next_due() const;
    // The replies due at next_due(); only valid when it is set.
    virtual Replies release();

    // The next motion this module starts is acknowledged, then refused with
    // `code` halfway through instead of completing. Kinds without motions
    // keep the request for a motion that never comes.
    virtual void refuse_next_motion_late(std::string code);

    // The chain-wide roll-call line reached this module.
    virtual void roll_call();

    [[nodiscard]] int address() const noexcept { return address_; }
    [[nodiscard]] int type_code() const noexcept { return type_code_; }
    [[nodiscard]] virtual bool moving() const;
    // Axes with positions interpolated at `now`; none for kinds without axes.
    [[nodiscard]] virtual std::vector<AxisState> axes(TimePoint now) const;
    // Kind-specific state at `now`, in a fixed order.
    [[nodiscard]] virtual std::vector<Detail> details(TimePoint now) const;
    // Sets kind-specific state; throws ValueError for a key the kind has not
    // or a value it cannot take.
    virtual void set_detail(std::string_view key, const DetailValue& value, TimePoint now);

  protected:
    using Args = std::vector<std::string_view>;
    // The kind's own commands: the replies, or nullopt when `word` is not one
    // of them (answered as an unknown command). The base has none.
    virtual std::optional<Replies> command(std::string_view word, const Args& args, TimePoint now,
                                           double time_scale);
    // "X HOMED:1 Y HOMED:0" for the axes asked (all when none are named).
    [[nodiscard]] virtual std::string homed_report(const Args& args, TimePoint now) const;

  private:
    const int address_;
    const int type_code_;
};

// The firmware a module reporting `type_code` runs, at chain address `address`.
ORVAK_SIM_EXPORT std::unique_ptr<ModuleFirmware> make_firmware(int address, int type_code);

}  // namespace orvak::sim
