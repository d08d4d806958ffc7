// The mass flow controller board (type code 14): two channels, each a flow
// controller module with its own full scale and serial number. A channel's
// flow follows its setpoint with a first-order lag whose time constant is
// scaled by the chain's time scale (0: the flow is the setpoint at once).
//
//   G0 C{n} X{v}        OK; above full scale the setpoint is clamped and a
//                       notice line follows the OK; below zero BAD 0x202
//   M200                the device name
//   M201                the number of modules, then the firmware code line
//   M202                "STATUS: 0x0 OK", or "STATUS: 0x{code} FAULT"
//   M300 C{n} X Y Z W   flow and setpoint x1000, temperature x100, "W: ERR"
//   M311 C{n}           "SERIAL: {serial}"
//
// A board that is not behind the leader ("behind_leader" false) answers every
// command with an error line until it hears the roll-call.
#include <array>
#include <charconv>
#include <cmath>

#include "command_words.hpp"
#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"
#include "orvak/sim/catalogue.hpp"
#include "orvak/sim/codes.hpp"

namespace orvak::sim {

namespace {

using detail::refusal;

constexpr double lag_seconds = 0.5;  // the flow's time constant in real time
constexpr std::string_view device = "ORVAK MFC";
constexpr std::string_view clamp_notice = "Setpoint clamped to full scale";
constexpr std::string_view not_leader = "ERROR: command refused, this board is not the LEADER";

struct Channel {
    double full_scale;
    std::string serial;
    double temperature = 24.31;
    double setpoint = 0.0;
    double start_flow = 0.0;  // the flow when the setpoint last changed
    TimePoint changed{};
    double lag = 0.0;  // scaled time constant in seconds

    [[nodiscard]] double flow(TimePoint now) const {
        if (lag <= 0.0) return setpoint;
        const double elapsed = std::chrono::duration<double>(now - changed).count();
        return setpoint + (start_flow - setpoint) * std::exp(-elapsed / lag);
    }
};

std::string scaled(double value, double factor) {
    return text::integer(std::llround(value * factor));
}

class FlowControllerFirmware final : public ModuleFirmware {
  public:
    FlowControllerFirmware(int address, int type_code)
        : ModuleFirmware(address, type_code), channels_{{{1.0, "B037778"}, {5.0, "B041562"}}} {}

    Replies handle(std::string_view command_text, TimePoint now, double time_scale) override {
        if (!behind_leader_ && !roll_called_) return {std::string(not_leader)};
        return ModuleFirmware::handle(command_text, now, time_scale);
    }

    void roll_call() override { roll_called_ = true; }

    [[nodiscard]] std::vector<Detail> details(TimePoint now) const override {
        std::vector<Detail> out{
            {"behind_leader", behind_leader_}, {"roll_called", roll_called_},
            {"status_code", status_code_},     {"modules", modules_},
            {"firmware_code", firmware_code_},
        };
        for (std::size_t i = 0; i < channels_.size(); ++i) {
            const auto& channel = channels_[i];
            const std::string n = text::integer(static_cast<long long>(i + 1));
            out.push_back({"full_scale_" + n, channel.full_scale});
            out.push_back({"serial_" + n, channel.serial});
            out.push_back({"temperature_" + n, channel.temperature});
            out.push_back({"setpoint_" + n, channel.setpoint});
            out.push_back({"flow_" + n, channel.flow(now)});
        }
        return out;
    }

    void set_detail(std::string_view key, const DetailValue& value, TimePoint now) override {
        if (key == "behind_leader" || key == "roll_called") {
            const auto* flag = std::get_if<bool>(&value);
            if (!flag) throw ValueError(text::fill("{} must be True or False", {key}));
            (key == "behind_leader" ? behind_leader_ : roll_called_) = *flag;
            return;
        }
        if (key == "status_code" || key == "modules" || key == "firmware_code") {
            const auto number = detail::detail_integer(value);
            if (!number || *number < 0) {
                throw ValueError(text::fill("{} must be an int >= 0", {key}));
            }
            (key == "status_code" ? status_code_
             : key == "modules"   ? modules_
                                  : firmware_code_) = *number;
            return;
        }
        const auto split = key.rfind('_');
        const std::string_view field = split == std::string_view::npos ? key : key.substr(0, split);
        const std::string_view which = split == std::string_view::npos ? "" : key.substr(split + 1);
        if (which == "1" || which == "2") {
            Channel& channel = channels_[which == "1" ? 0 : 1];
            if (field == "full_scale") {
                const auto number = detail::detail_number(value);
                if (!number || !(*number > 0.0) || !std::isfinite(*number)) {
                    throw ValueError(text::fill("{} must be a number > 0", {key}));
                }
                channel.full_scale = *number;
                return;
            }
            if (field == "temperature") {
                const auto number = detail::detail_number(value);
                if (!number || !std::isfinite(*number)) {
                    throw ValueError(text::fill("{} must be a finite number", {key}));
                }
                channel.temperature = *number;
                return;
            }
            if (field == "serial") {
                const auto* serial = std::get_if<std::string>(&value);
                if (!serial || detail::words_of(*serial).size() != 1 ||
                    detail::words_of(*serial).front() != *serial) {
                    throw ValueError(text::fill("{} must be one word of text", {key}));
                }
                channel.serial = *serial;
                return;
            }
        }
        ModuleFirmware::set_detail(key, value, now);
    }

  protected:
    std::optional<Replies> command(std::string_view word, const Args& args, TimePoint now,
                                   double time_scale) override {
        if (word == "G0") return setpoint(args, now, time_scale);
        if (word == "M200") return Replies{std::string(device)};
        if (word == "M201") {
            return Replies{"MODULES: " + text::integer(modules_),
                           "Firmware code: " + text::integer(firmware_code_)};
        }
        if (word == "M202") return Replies{status_line()};
        if (word == "M300") {
            Channel* channel = channel_of(args);
            if (!channel) return Replies{refusal(codes::bad_argument)};
            return Replies{text::fill(
                "C{} X: {} Y: {} Z: {} W: ERR",
                {number_of(*channel), scaled(channel->flow(now), 1000.0),
                 scaled(channel->temperature, 100.0), scaled(channel->setpoint, 1000.0)})};
        }
        if (word == "M311") {
            Channel* channel = channel_of(args);
            if (!channel) return Replies{refusal(codes::bad_argument)};
            return Replies{"SERIAL: " + channel->serial};
        }
        return std::nullopt;
    }

  private:
    // The channel a command's C argument names; its other words must be
    // letters alone (the fields asked for). Null when malformed.
    Channel* channel_of(const Args& args) {
        Channel* found = nullptr;
        for (const auto word : args) {
            const auto arg = detail::parse_arg(word);
            if (!arg) return nullptr;
            if (arg->letter == 'C') {
                if (found || !arg->value) return nullptr;
                found = channel_at(*arg->value);
                if (!found) return nullptr;
            } else if (arg->value) {
                return nullptr;
            }
        }
        return found;
    }

    // Channel 1 or 2 of a C argument's number.
    Channel* channel_at(double number) {
        if (number == 1.0) return &channels_[0];
        if (number == 2.0) return &channels_[1];
        return nullptr;
    }

    [[nodiscard]] std::string number_of(const Channel& channel) const {
        return &channel == &channels_[0] ? "1" : "2";
    }

    Replies setpoint(const Args& args, TimePoint now, double time_scale) {
        Channel* channel = nullptr;
        std::optional<double> value;
        for (const auto word : args) {
            const auto arg = detail::parse_arg(word);
            if (!arg || !arg->value) return {refusal(codes::bad_argument)};
            if (arg->letter == 'X' && !value) {
                value = arg->value;
            } else if (arg->letter == 'C' && !channel) {
                channel = channel_at(*arg->value);
                if (!channel) return {refusal(codes::bad_argument)};
            } else {
                return {refusal(codes::bad_argument)};
            }
        }
        if (!channel || !value) return {refusal(codes::bad_argument)};
        if (*value < 0.0) return {refusal(codes::out_of_range)};
        const bool clamped = *value > channel->full_scale;
        channel->start_flow = channel->flow(now);
        channel->changed = now;
        channel->lag = lag_seconds * time_scale;
        channel->setpoint = clamped ? channel->full_scale : *value;
        if (clamped) return {"OK", std::string(clamp_notice)};
        return {"OK"};
    }

    [[nodiscard]] std::string status_line() const {
        std::array<char, 20> digits{};
        const auto end = std::to_chars(digits.begin(), digits.end(), status_code_, 16).ptr;
        return "STATUS: 0x" + std::string(digits.begin(), end) +
               (status_code_ == 0 ? " OK" : " FAULT");
    }

    std::array<Channel, 2> channels_;
    bool behind_leader_ = true;
    bool roll_called_ = false;
    long long status_code_ = 0;
    long long modules_ = 2;
    long long firmware_code_ = 785;
};

}  // namespace

std::unique_ptr<ModuleFirmware> make_flow_controller_firmware(int address,
                                                              const kinds::Kind& kind) {
    return std::make_unique<FlowControllerFirmware>(address, kind.type_code);
}

}  // namespace orvak::sim
