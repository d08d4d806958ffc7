// The process probe board (type code 13): four probe channels. A channel
// holds a probe (its REF#, "" when empty, and a serial number) and a reading
// (pH, mV, T). Both answers are position reports, the values as integers:
//
//   M31{n-1} X Y Z   "POS X:{pH x1000} Y:{mV x1000} Z:{T x1000} $$$"
//   M32{n-1} X       "POS ID:{article} HI:{rest of the REF#} LO:{serial} $$$"
//
// An empty channel reports zeros for both. A REF# without a dash has the
// high part 0.
#include <algorithm>
#include <array>
#include <cmath>

#include "command_words.hpp"
#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/codes.hpp"

namespace orvak::sim {

namespace {

using detail::refusal;

constexpr long long max_serial = 99999;  // the low part of the identity has five digits

struct Probe {
    std::string ref;  // empty: no probe
    long long serial = 0;
    std::vector<double> reading{7.0, 0.0, 25.0};
};

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "242428-4313" or "243061": digits, then at most one dash and digits; the
// article is not zero (an empty channel reports the probe ID 0).
bool valid_ref(std::string_view ref) {
    const auto dash = ref.find('-');
    const auto article = ref.substr(0, dash);
    if (!all_digits(article) || article.find_first_not_of('0') == std::string_view::npos) {
        return false;
    }
    return dash == std::string_view::npos || all_digits(ref.substr(dash + 1));
}

std::string thousandths(double value) { return text::integer(std::llround(value * 1000.0)); }

class ProbeReaderFirmware final : public ModuleFirmware {
  public:
    using ModuleFirmware::ModuleFirmware;

    [[nodiscard]] std::vector<Detail> details(TimePoint) const override {
        std::vector<Detail> out;
        for (std::size_t i = 0; i < probes_.size(); ++i) {
            const std::string n = text::integer(static_cast<long long>(i + 1));
            out.push_back({"probe_" + n, probes_[i].ref});
            out.push_back({"serial_" + n, probes_[i].serial});
            out.push_back({"reading_" + n, probes_[i].reading});
        }
        return out;
    }

    void set_detail(std::string_view key, const DetailValue& value, TimePoint now) override {
        const auto split = key.rfind('_');
        const std::string_view which = split == std::string_view::npos ? "" : key.substr(split + 1);
        const std::string_view field = key.substr(0, split);
        if (which.size() != 1 || which[0] < '1' || which[0] > '4') {
            ModuleFirmware::set_detail(key, value, now);
            return;
        }
        Probe& probe = probes_[static_cast<std::size_t>(which[0] - '1')];
        if (field == "probe") {
            const auto* ref = std::get_if<std::string>(&value);
            if (!ref || (!ref->empty() && !valid_ref(*ref))) {
                throw ValueError(text::fill(
                    "{} must be a REF# such as '242428-4313' or '243061', or '' for none", {key}));
            }
            probe.ref = *ref;
        } else if (field == "serial") {
            const auto serial = detail::detail_integer(value);
            if (!serial || *serial < 0 || *serial > max_serial) {
                throw ValueError(text::fill("{} must be an int from 0 to 99999", {key}));
            }
            probe.serial = *serial;
        } else if (field == "reading") {
            const auto reading = detail::detail_numbers(value);
            const bool finite = reading && std::all_of(reading->begin(), reading->end(),
                                                       [](double v) { return std::isfinite(v); });
            if (!finite || reading->size() != 3) {
                throw ValueError(text::fill("{} must be three finite numbers (pH, mV, T)", {key}));
            }
            probe.reading = *reading;
        } else {
            ModuleFirmware::set_detail(key, value, now);
        }
    }

  protected:
    std::optional<Replies> command(std::string_view word, const Args& args, TimePoint,
                                   double) override {
        const bool reading = word.starts_with("M31");
        if (word.size() != 4 || (!reading && !word.starts_with("M32")) || word[3] < '0' ||
            word[3] > '3') {
            return std::nullopt;
        }
        for (const auto arg : args) {
            if (arg.size() != 1 || !detail::is_letter(arg.front())) {
                return Replies{refusal(codes::bad_argument)};
            }
        }
        const Probe& probe = probes_[static_cast<std::size_t>(word[3] - '0')];
        const bool empty = probe.ref.empty();
        if (reading) {
            const auto value = [&](std::size_t i) {
                return empty ? std::string("0") : thousandths(probe.reading[i]);
            };
            return Replies{text::fill("POS X:{} Y:{} Z:{} $$$", {value(0), value(1), value(2)})};
        }
        if (empty) return Replies{"POS ID:0 HI:0 LO:0 $$$"};
        const auto dash = probe.ref.find('-');
        const std::string article = probe.ref.substr(0, dash);
        const std::string high = dash == std::string::npos ? "0" : probe.ref.substr(dash + 1);
        return Replies{
            text::fill("POS ID:{} HI:{} LO:{} $$$", {article, high, text::integer(probe.serial)})};
    }

  private:
    std::array<Probe, 4> probes_;
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_probe_reader_firmware(int address, const kinds::Kind& kind) {
    return std::make_unique<ProbeReaderFirmware>(address, kind.type_code);
}

}  // namespace orvak::sim
