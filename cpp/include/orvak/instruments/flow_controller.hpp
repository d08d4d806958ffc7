// The two-channel mass flow controller board. It bridges the chain to one
// flow controller module per channel, each with its own full scale; the API
// is in engineering units (UNITS, standard litres per minute) and degrees
// Celsius, and the board's integer wire scaling (flow x1000, temperature
// x100) is undone here.
//
// Replies do not follow the usual pattern, because routing goes by keyword:
// only a setpoint (G0) is answered with OK; the queries answer with bare data
// lines (flag_OTHER); the status line lands in flag_OK when healthy ("STATUS:
// 0x0 OK") and in flag_OTHER when faulted; nothing is ever answered with
// DONE. So the driver waits on a chosen set of slots at once, and settling
// after a setpoint change is polled.
//
// A setpoint above a module's range is clamped by the board, which then sends
// the notice line "Setpoint clamped to full scale" after its OK. The notice
// can reach the driver after the OK was taken, even after the next command
// went out, so the reply wait never takes it as an answer: it would otherwise
// answer the next query (a reading failing as malformed) or setpoint.
//
// A board that is not behind the chain's leader refuses every command with an
// error line ending "not the LEADER" until it has heard the roll-call; the
// reply wait turns that into a connection error.
//
// Full scales and the setpoints last commanded are per-instance state read and
// written through the hooks below, so a host can keep them where its users
// see them. Class constants are resolved through `resolve_constants` when an
// operation starts.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orvak/errors.hpp"
#include "orvak/export.hpp"
#include "orvak/instrument.hpp"
#include "orvak/kinds.hpp"

namespace orvak {

// The controller's class constants as resolved for one operation.
struct FlowSettings {
    long long num_channels{};
    std::string units;
    double reply_timeout{};
    double settle_tolerance{};
    double settle_timeout{};
    double settle_poll{};
    double ok_timeout{};
    double poll_interval{};
};

struct FlowReading {
    long long channel{};
    double flow{};
    double setpoint{};
    double temperature{};
    std::string units;
    double full_scale{};
    std::string error;
};

class ORVAK_EXPORT FlowController : public Instrument {
  public:
    static constexpr const kinds::Kind& kind = kinds::only_in("ventrix");
    static constexpr int type_code = kind.type_code;
    static constexpr std::string_view display_name = kind.display_name;
    static constexpr long long default_num_channels = 2;
    static constexpr long long default_units_code = 2;
    static constexpr std::string_view default_units = "SLPM";
    static constexpr double default_reply_timeout = 2.0;
    static constexpr double default_settle_tolerance = 0.02;
    static constexpr double default_settle_timeout = 15.0;
    static constexpr double default_settle_poll = 0.2;
    static constexpr double nominal_run_time = 0.1;
    static constexpr std::string_view clamp_notice = "Setpoint clamped to full scale";
    // The full scale of each channel of the unit the defaults describe.
    static const std::map<long long, double>& default_full_scale();

    explicit FlowController(int number = 0);
    [[nodiscard]] Description describe() const override;

    // ---- per-channel state (host hooks) ----
    // A channel's full scale and recorded setpoint; nullopt when the channel
    // has no entry. The defaults keep them in this object.
    [[nodiscard]] virtual std::optional<double> stored_full_scale(long long channel) const;
    virtual void store_full_scale(long long channel, double value);
    [[nodiscard]] virtual std::optional<double> stored_setpoint(long long channel) const;
    virtual void store_setpoint(long long channel, double value);

    // ---- board queries ----
    std::string device_name();
    std::string board_info();
    long long firmware_code();
    std::string status();
    long long status_code();
    bool is_ok();
    std::string serial_number(long long channel = 1);

    // ---- readings ----
    FlowReading read_channel(long long channel = 1);
    double read_flow(long long channel = 1);
    double read_setpoint(long long channel = 1);
    double read_temperature(long long channel = 1);

    // ---- full scales and setpoints ----
    double full_scale(long long channel = 1);
    void set_full_scale(long long channel, double value);
    double last_setpoint(long long channel = 1);
    // Validated before anything is sent; recorded once the board acknowledged;
    // with `wait`, returns once the flow has settled.
    void set_setpoint(long long channel, double value, bool wait = false,
                      std::optional<double> tolerance = std::nullopt,
                      std::optional<double> timeout = std::nullopt);
    void zero_all();
    // Zero flow on every channel; the recorded setpoints stay for resume().
    void stop() override;
    // The recorded setpoints again, channel 1 first.
    void resume() override;
    // Zero flow and a zero record on every channel.
    void reset() override;
    double estimate_run_time();

    // ---- the wait and the exchanges the operations are built from ----
    long long check_channel(long long channel);
    // The refusal of a channel outside 1-NUM_CHANNELS; `got` is the channel as written.
    [[nodiscard]] ValueError channel_error(std::string_view got) const;
    // The first line found in `flags`, tried in order; silence is an error.
    std::string wait_for_reply(std::span<ReplySlot* const> flags, std::string_view what = "query",
                               std::optional<double> timeout = std::nullopt);
    std::string query(const std::string& gcode, std::string_view what);
    // One G0 and its acknowledgement; the record is not touched.
    void send_setpoint(long long channel, double value);
    void wait_until_settled(long long channel, double target,
                            std::optional<double> tolerance = std::nullopt,
                            std::optional<double> timeout = std::nullopt);

    [[nodiscard]] FlowSettings settings() const;

  private:
    // The waits below run inside an interrupt guard their caller sets up, so
    // that a settle interrupted mid-reading stops the board once.
    enum class Guard { own, outer };

    std::string await_reply(std::span<ReplySlot* const> flags, std::string_view what,
                            double timeout, const FlowSettings& now, Guard guard);
    std::string exchange(const std::string& gcode, std::string_view what, const FlowSettings& now,
                         Guard guard);
    FlowReading reading(long long channel, const FlowSettings& now, Guard guard);
    void send_setpoint(long long channel, double value, const FlowSettings& now);
    void settle(long long channel, double target, std::optional<double> tolerance,
                std::optional<double> timeout, const FlowSettings& now);
    long long checked(long long channel, const FlowSettings& now) const;
    double full_scale_of(long long channel, const FlowSettings& now);
    double recorded_setpoint(long long channel);

    std::map<long long, double> full_scale_;
    std::map<long long, double> last_setpoint_;
};

}  // namespace orvak
