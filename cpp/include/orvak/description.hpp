// What a driver can do, said once: its operations (parameters in order with
// their types, units, the limits in force for this module and defaults; the
// result; whether it moves, queries, sets or acts) and its readings (what can
// be read cheaply and repeatedly, and which operation reads it). Every
// surface that needs such a fact reads it from here: the docstrings, the
// command line's listing, the remote features, the recorder.
//
// A driver's `describe()` builds its description when asked, from the
// settings and constants in force, so a 100 µl pump says 100 µl and a full
// scale set at run time is the limit the description gives.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "orvak/export.hpp"

namespace orvak {

// The units operations and readings are given in: one vocabulary, the
// strings of the SI and of the lab. An empty unit is a plain number or text.
namespace units {
inline constexpr const char* none = "";
inline constexpr const char* microlitre = "\xC2\xB5l";
inline constexpr const char* microlitre_per_minute = "\xC2\xB5l/min";
inline constexpr const char* millilitre = "ml";
inline constexpr const char* millilitre_per_minute = "ml/min";
inline constexpr const char* millimetre = "mm";
inline constexpr const char* millimetre_per_second = "mm/s";
inline constexpr const char* second = "s";
inline constexpr const char* rpm = "rpm";
inline constexpr const char* slpm = "SLPM";  // standard litres per minute
inline constexpr const char* degree_celsius =
    "\xC2\xB0"
    "C";
inline constexpr const char* ph = "pH";
inline constexpr const char* millivolt = "mV";
inline constexpr const char* millimetre_of_mercury = "mmHg";
inline constexpr const char* inch = "in";
inline constexpr auto all = std::to_array<std::string_view>(
    {microlitre, microlitre_per_minute, millilitre, millilitre_per_minute, millimetre,
     millimetre_per_second, second, rpm, slpm, degree_celsius, ph, millivolt, millimetre_of_mercury,
     inch});
}  // namespace units

// What an operation is: a motion can be stopped and reports its progress
// while it is awaited; a query asks and changes nothing; a setting changes
// what the module or the driver holds; an action does anything else.
enum class OperationKind { motion, query, setting, action };
ORVAK_EXPORT std::string_view kind_name(OperationKind kind);

// A default or an allowed value: None, a flag, a whole number, a real, text.
using DescribedValue = std::variant<std::monostate, bool, long long, double, std::string>;

struct ParameterInfo {
    std::string name;
    std::string type;  // as Python spells it: "int", "float", "bool", "str", "float | None", ...
    std::string unit{};
    std::optional<double> minimum{};
    std::optional<double> maximum{};
    // The constant or setting the maximum is read from ("NUM_PORTS"), which
    // class documentation names where one class serves modules of several sizes.
    std::string maximum_from{};
    std::vector<DescribedValue> choices{};
    std::optional<DescribedValue> default_value{};  // empty: the caller must give it
};

// A named part of a result (a field of a mapping, an element of a tuple).
struct FieldInfo {
    std::string name;
    std::string type;
    std::string unit{};
};

struct ResultInfo {
    std::string type = "None";
    std::string unit{};
    std::vector<FieldInfo> fields{};
};

struct OperationInfo {
    std::string name;
    OperationKind kind = OperationKind::action;
    std::vector<ParameterInfo> parameters{};
    ResultInfo result{};
    std::string doc;
};

// A value worth sampling: `operation` called with `arguments` reads it, and
// `field` picks it out of the result (empty: the result itself).
struct ReadingInfo {
    std::string name;  // an identifier; channels append their number ("flow1")
    std::string unit{};
    std::string type = "float";
    std::string operation;
    std::vector<std::pair<std::string, DescribedValue>> arguments{};
    std::string field{};
};

class ORVAK_EXPORT Description {
  public:
    std::vector<OperationInfo> operations;
    std::vector<ReadingInfo> readings;

    // The operation of that name, or null.
    [[nodiscard]] const OperationInfo* find(std::string_view name) const;
    // Adds an operation, replacing one of the same name in its place (a
    // driver's version of a base operation).
    void declare(OperationInfo operation);
    // stop(), resume() and reset(), in this driver's words.
    void declare_controls(std::string stop, std::string resume, std::string reset);
    // home(wait=True) -> bool, a motion, and estimate_home_time(wait=True) in s.
    void declare_homing(std::string home, std::string estimate);
};

// The parameters most operations share.
ORVAK_EXPORT ParameterInfo wait_parameter(bool by_default);
ORVAK_EXPORT ParameterInfo timeout_parameter(double by_default);

// A paragraph of documentation for a binding: the operation's own text, then
// one line per parameter with its type, unit, limits and allowed values.
ORVAK_EXPORT std::string docstring(const OperationInfo& operation);

}  // namespace orvak
