#include "orvak/sim/firmware.hpp"

#include <utility>

#include "command_words.hpp"
#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"
#include "orvak/sim/codes.hpp"

namespace orvak::sim {

using detail::refusal;

bool has_firmware(long long type_code) {
    return type_code >= min_type_code && type_code <= max_type_code;
}

ModuleFirmware::ModuleFirmware(int address, int type_code)
    : address_(address), type_code_(type_code) {}

ModuleFirmware::~ModuleFirmware() = default;

Replies ModuleFirmware::handle(std::string_view command_text, TimePoint now, double time_scale) {
    const auto words = detail::words_of(command_text);
    if (words.empty()) return {refusal(codes::unknown_command)};
    const std::string_view word = words.front();
    const Args args(words.begin() + 1, words.end());
    if (word == "M116") return {text::integer(type_code_)};
    if (word == "M115") {
        return {address_ == 1 ? std::string(firmware_version) : refusal(codes::not_leader)};
    }
    if (word == "M304") return {homed_report(args, now)};
    if (auto replies = command(word, args, now, time_scale)) return std::move(*replies);
    return {refusal(codes::unknown_command)};
}

std::optional<TimePoint> ModuleFirmware::next_due() const { return std::nullopt; }

Replies ModuleFirmware::release() { return {}; }

void ModuleFirmware::refuse_next_motion_late(std::string) {}

void ModuleFirmware::roll_call() {}

bool ModuleFirmware::moving() const { return false; }

std::vector<AxisState> ModuleFirmware::axes(TimePoint) const { return {}; }

std::vector<Detail> ModuleFirmware::details(TimePoint) const { return {}; }

void ModuleFirmware::set_detail(std::string_view key, const DetailValue&, TimePoint) {
    throw ValueError(text::fill("module {} (type code {}) has no settable state {!r}",
                                {text::integer(address_), text::integer(type_code_), key}));
}

std::optional<Replies> ModuleFirmware::command(std::string_view, const Args&, TimePoint, double) {
    return std::nullopt;
}

std::string ModuleFirmware::homed_report(const Args& args, TimePoint now) const {
    std::vector<char> asked;
    for (const auto word : args) {
        if (word.size() != 1 || !detail::is_letter(word.front())) {
            return refusal(codes::bad_argument);
        }
        asked.push_back(detail::upper(word.front()));
    }
    const auto known = axes(now);
    if (asked.empty()) {
        if (known.empty()) return refusal(codes::bad_argument);
        for (const auto& axis : known) asked.push_back(axis.letter);
    }
    std::string report;
    for (const char letter : asked) {
        bool homed = false;
        for (const auto& axis : known) {
            if (axis.letter == letter) homed = axis.homed;
        }
        if (!report.empty()) report += ' ';
        report += letter;
        report += homed ? " HOMED:1" : " HOMED:0";
    }
    return report;
}

}  // namespace orvak::sim
