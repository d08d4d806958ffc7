#include "orvak/instruments/process_reader.hpp"

#include <charconv>
#include <system_error>

#include "orvak/instruments/probe_catalogue.hpp"
#include "orvak/pytext.hpp"
#include "orvak/reply_grammar.hpp"

namespace orvak {

namespace {

// The board sends every value times 1000 (7421 means 7.421).
double scaled_value(std::string_view digits) {
    double value = 0.0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value / 1000.0;
}

// "[1, 2, 3, 4]": the channels that have a command, as Python shows a sorted list.
std::string channel_list(const std::map<long long, std::string>& commands) {
    std::string out = "[";
    for (const auto& [channel, command] : commands) {
        if (out.size() > 1) out += ", ";
        out += text::integer(channel);
    }
    return out + "]";
}

MeasureLabels default_labels() { return {{"pH", 0}, {"mV", 1}, {"T", 2}}; }

}  // namespace

ProcessReader::ProcessReader(int number) {
    name = std::string(display_name);
    instrument_number = number;
    instrument_id_number = type_code;
}

ProcessTables ProcessReader::default_tables() {
    return ProcessTables{
        .measure_cmds = {{1, "M310 X Y Z"},
                         {2, "M311 X Y Z"},
                         {3, "M312 X Y Z"},
                         {4, "M313 X Y Z"}},
        .probe_id_cmds = {{1, "M320 X"}, {2, "M321 X"}, {3, "M322 X"}, {4, "M323 X"}},
        .measure_spec =
            {
                {"pH", default_labels()},
                {"ORP", {{"mV", 1}, {"T", 2}}},
                {"DCO2", {{"mmHg", 1}, {"T", 2}}},
                // The second wire slot repeats the conductivity.
                {"COND", {{"conductivity", 0}, {"T", 2}}},
                // The board's units for these are not settled: the raw triple.
                {"DO", default_labels()},
                {"TCD", default_labels()},
                {"VCD", default_labels()},
            },
        .default_measure_spec = default_labels(),
    };
}

ProcessTables ProcessReader::tables() const { return default_tables(); }

std::string ProcessReader::probe_sensor_name(const std::string& identity) const {
    return probes::arc_catalogue().sensor_name(identity);
}

std::string ProcessReader::probe_description(const std::string& identity) const {
    return probes::arc_catalogue().describe(identity);
}

ValueError ProcessReader::channel_error(const std::map<long long, std::string>& commands,
                                        std::string_view got) const {
    return ValueError(
        text::fill("{}: channel must be one of {} (got {}).", {name, channel_list(commands), got}));
}

std::vector<std::string_view> ProcessReader::query(const std::map<long long, std::string>& commands,
                                                   long long channel, std::string& reply) {
    const auto command = commands.find(channel);
    if (command == commands.end()) throw channel_error(commands, text::integer(channel));
    send_command({command->second});
    reply = wait_for_position();
    return grammar::integer_texts(reply);
}

std::array<double, 3> ProcessReader::measure_parameters(long long channel) {
    std::string reply;
    const auto numbers = query(tables().measure_cmds, channel, reply);
    if (numbers.size() < 3) {
        throw ValueError(text::fill("Unexpected response from channel {}: {!r}",
                                    {text::integer(channel), reply}));
    }
    return {scaled_value(numbers[0]), scaled_value(numbers[1]), scaled_value(numbers[2])};
}

std::array<std::string, 3> ProcessReader::query_probe_id_raw(long long channel) {
    std::string reply;
    const auto parts = query(tables().probe_id_cmds, channel, reply);
    if (parts.size() < 3) {
        throw ValueError(text::fill("Unexpected probe ID response from channel {}: {!r}",
                                    {text::integer(channel), reply}));
    }
    return {std::string(parts[0]), std::string(parts[1]), std::string(parts[2])};
}

std::pair<long long, long long> ProcessReader::get_probe_id(long long channel) {
    const auto parts = query_probe_id_raw(channel);
    const auto id = grammar::decimal_integer(parts[0]);
    const auto high = grammar::decimal_integer(parts[1]);
    const auto low = grammar::decimal_integer(parts[2]);
    constexpr long long serial_base = 100000;
    long long serial = 0;
    if (!id || !high || !low || __builtin_mul_overflow(*high, serial_base, &serial) ||
        __builtin_add_overflow(serial, *low, &serial)) {
        throw ValueError(text::fill("{}: probe identity {}-{}-{} on channel {} is out of range.",
                                    {name, parts[0], parts[1], parts[2], text::integer(channel)}));
    }
    return {*id, serial};
}

// The parts stay text: a leading zero in the high or low part is part of the
// REF# ("243950-0211"), which converting to integers and back would drop.
std::pair<long long, std::string> ProcessReader::identity_of(
    const std::array<std::string, 3>& parts) {
    const auto& [id, high, low] = parts;
    std::string padded = low.size() < 5 ? std::string(5 - low.size(), '0') + low : low;
    // A probe ID beyond 64 bits is no probe the catalogue knows; it still counts as present.
    const long long number = grammar::decimal_integer(id).value_or(-1);
    return {number, text::fill("{}-{}{}", {id, high, padded})};
}

std::pair<long long, std::string> ProcessReader::sensor_id(long long channel) {
    return identity_of(query_probe_id_raw(channel));
}

bool ProcessReader::channel_has_probe(long long channel) {
    return get_probe_id(channel).first != 0;
}

std::vector<long long> ProcessReader::attached_channels() {
    std::array<ConstantRequest, 1> requests{{{"NUM_CHANNELS", default_num_channels}}};
    resolve_constants(requests);
    const long long count = integer_constant(requests[0]);
    std::vector<long long> attached;
    for (long long channel = 1; channel <= count; ++channel) {
        if (channel_has_probe(channel)) attached.push_back(channel);
    }
    return attached;
}

std::optional<std::string> ProcessReader::type_of(const std::string& identity) const {
    std::string sensor = probe_sensor_name(identity);
    if (sensor == "--") return std::nullopt;
    return sensor;
}

std::optional<std::string> ProcessReader::probe_type(long long channel) {
    const auto [id, identity] = sensor_id(channel);
    if (id == 0) return std::nullopt;
    return type_of(identity);
}

std::string ProcessReader::describe_probe(long long channel) {
    const auto [id, identity] = sensor_id(channel);
    if (id == 0) return std::string(no_probe);
    return probe_description(identity);
}

ProcessMeasurement ProcessReader::measure(long long channel) {
    const auto [id, identity] = sensor_id(channel);
    ProcessMeasurement result{channel, std::nullopt, std::string(no_probe), {}};
    if (id != 0) {
        result.probe_type = type_of(identity);
        result.description = probe_description(identity);
    }
    const auto raw = measure_parameters(channel);
    const auto all = tables();
    const MeasureLabels* layout = &all.default_measure_spec;
    if (result.probe_type) {
        for (const auto& [type, labels] : all.measure_spec) {
            if (type == *result.probe_type) {
                layout = &labels;
                break;
            }
        }
    }
    for (const auto& [label, index] : *layout) {
        if (index >= raw.size()) {
            throw IndexOutOfRange(text::fill("{}: measure label index {} is outside the reading",
                                             {name, text::integer(static_cast<long long>(index))}));
        }
        result.values.emplace_back(label, raw[index]);
    }
    return result;
}

void ProcessReader::stop() {}

void ProcessReader::resume() {}

void ProcessReader::reset() {}

double ProcessReader::estimate_run_time() {
    estimated_run_time = nominal_run_time;
    return estimated_run_time;
}

}  // namespace orvak

namespace orvak {

Description ProcessReader::describe() const {
    std::array<ConstantRequest, 1> requests{{{"NUM_CHANNELS", default_num_channels}}};
    resolve_constants(requests);
    const long long count = integer_constant(requests[0]);
    const ParameterInfo channel{.name = "channel",
                                .type = "int",
                                .minimum = 1.0,
                                .maximum = static_cast<double>(count),
                                .maximum_from = "NUM_CHANNELS",
                                .default_value = DescribedValue(1LL)};
    const auto channel_query = [&](std::string op, ResultInfo result, std::string doc,
                                   bool with_wait) {
        OperationInfo info{.name = std::move(op),
                           .kind = OperationKind::query,
                           .parameters = {channel},
                           .result = std::move(result),
                           .doc = std::move(doc)};
        if (with_wait) info.parameters.push_back(wait_parameter(true));
        return info;
    };
    Description about = Instrument::describe();
    about.declare(channel_query(
        "measure_parameters",
        {.type = "tuple[float, float, float]",
         .fields = {{.name = "pH", .type = "float", .unit = units::ph},
                    {.name = "mV", .type = "float", .unit = units::millivolt},
                    {.name = "T", .type = "float", .unit = units::degree_celsius}}},
        "One reading of the channel: (pH, mV, T) as three floats. wait is ignored.", true));
    about.declare(channel_query(
        "get_probe_id",
        {.type = "tuple[int, int]",
         .fields = {{.name = "probe_id", .type = "int"}, {.name = "serial_number", .type = "int"}}},
        "(probe ID, serial number) of the channel's probe; (0, 0) for an "
        "empty channel.",
        true));
    about.declare(channel_query("channel_has_probe", {.type = "bool"},
                                "Whether a probe is attached (its probe ID is not 0).", false));
    about.declare({.name = "attached_channels",
                   .kind = OperationKind::query,
                   .result = {.type = "list[int]"},
                   .doc = "The channels with a probe, ascending (one identity query per "
                          "channel)."});
    about.declare(channel_query("probe_type", {.type = "str | None"},
                                "The probe's type code ('pH', 'ORP', ...), or None for an empty "
                                "channel or an unknown REF#.",
                                false));
    about.declare(channel_query("describe_probe", {.type = "str"},
                                "The catalogue's description of the probe, or 'No probe "
                                "connected'.",
                                false));
    about.declare(channel_query(
        "measure",
        {.type = "ProbeMeasurement",
         .fields = {{.name = "channel", .type = "int"},
                    {.name = "probe_type", .type = "str | None"},
                    {.name = "description", .type = "str"},
                    {.name = "values", .type = "dict[str, float]"}}},
        "A reading labelled for the attached probe: {'channel', 'probe_type', 'description', "
        "'values'}. wait is ignored.",
        true));
    about.declare({.name = "estimate_run_time",
                   .kind = OperationKind::query,
                   .result = {.type = "float", .unit = units::second},
                   .doc = "The nominal length of one reading (0.1 s); also stored in "
                          "estimated_run_time."});
    about.declare_controls("Nothing to stop: a sensor keeps its state.", "Nothing to resume.",
                           "Nothing to reset.");
    // Every channel reads as (pH, mV, T), whatever its probe labels them.
    for (long long number = 1; number <= count; ++number) {
        const auto suffix = std::to_string(number);
        for (const auto& [field, name, unit] :
             {std::tuple<const char*, const char*, const char*>{"pH", "pH", units::ph},
              {"mV", "mV", units::millivolt},
              {"T", "temperature", units::degree_celsius}}) {
            about.readings.push_back({.name = name + suffix,
                                      .unit = unit,
                                      .type = "float",
                                      .operation = "measure_parameters",
                                      .arguments = {{"channel", DescribedValue(number)}},
                                      .field = field});
        }
    }
    return about;
}

}  // namespace orvak
