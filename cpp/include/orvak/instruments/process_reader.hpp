// The process-probe reader: a board with up to four probe channels. A
// channel's raw reading is always a triple (pH, mV, T, each sent times 1000);
// the probe's identity register names its REF# and serial, which the probe
// catalogue turns into a type and a description, and the type relabels the
// triple. Both answers arrive as position reports ("POS ... $$$") and are
// read through the position wait.
//
// The command and label tables are resolved through `tables()` and the
// catalogue through `probe_sensor_name`/`probe_description` when each
// operation starts, so a host's values are the ones in force.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/export.hpp"
#include "orvak/instrument.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// One reported value: its label and the index into the raw triple.
struct MeasureLabel {
    std::string label;
    std::size_t index;
    bool operator==(const MeasureLabel&) const = default;
};
using MeasureLabels = std::vector<MeasureLabel>;

struct ProcessTables {
    std::map<long long, std::string> measure_cmds;
    std::map<long long, std::string> probe_id_cmds;
    std::vector<std::pair<std::string, MeasureLabels>> measure_spec;
    MeasureLabels default_measure_spec;
};

struct ProcessMeasurement {
    long long channel;
    std::optional<std::string> probe_type;
    std::string description;
    std::vector<std::pair<std::string, double>> values;
};

class ORVAK_EXPORT ProcessReader : public Instrument {
  public:
    static constexpr const kinds::Kind& kind = kinds::only_in("process");
    static constexpr int type_code = kind.type_code;
    static constexpr std::string_view display_name = kind.display_name;
    static constexpr long long default_num_channels = 4;
    static constexpr double no_probe_sentinel = -99.99;
    static constexpr double nominal_run_time = 0.1;
    static constexpr std::string_view no_probe = "No probe connected";

    explicit ProcessReader(int number = 0);
    [[nodiscard]] Description describe() const override;

    // ---- host hooks ----
    // The command and label tables in force; the default gives the built-in ones.
    [[nodiscard]] virtual ProcessTables tables() const;
    // The catalogue's sensor code ("--" when unknown) and description of an
    // identity string; the default asks the built-in catalogue.
    [[nodiscard]] virtual std::string probe_sensor_name(const std::string& identity) const;
    [[nodiscard]] virtual std::string probe_description(const std::string& identity) const;

    // ---- readings and identities ----
    std::array<double, 3> measure_parameters(long long channel = 1);
    std::pair<long long, long long> get_probe_id(long long channel = 1);
    bool channel_has_probe(long long channel = 1);
    std::vector<long long> attached_channels();
    std::optional<std::string> probe_type(long long channel = 1);
    std::string describe_probe(long long channel = 1);
    ProcessMeasurement measure(long long channel = 1);

    // The identity register's three parts as received (probe ID, high, low).
    std::array<std::string, 3> query_probe_id_raw(long long channel = 1);
    // The probe ID and the identity string "{id}-{high}{low padded to 5}".
    std::pair<long long, std::string> sensor_id(long long channel = 1);

    // A sensor keeps its state through a pause: nothing to send.
    void stop() override;
    void resume() override;
    void reset() override;
    double estimate_run_time();

    // The refusal of a channel without a command; `got` is the channel as written.
    [[nodiscard]] ValueError channel_error(const std::map<long long, std::string>& commands,
                                           std::string_view got) const;

    // The built-in tables, which a host shows as its class constants.
    [[nodiscard]] static ProcessTables default_tables();

  private:
    // Sends the channel's command from `commands` and returns the reply's integers.
    std::vector<std::string_view> query(const std::map<long long, std::string>& commands,
                                        long long channel, std::string& reply);
    [[nodiscard]] static std::pair<long long, std::string> identity_of(
        const std::array<std::string, 3>& parts);
    [[nodiscard]] std::optional<std::string> type_of(const std::string& identity) const;
};

}  // namespace orvak
