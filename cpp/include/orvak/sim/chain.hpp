// The bench emulator: a chain of emulated modules answering the serial wire
// protocol ("<I{address} {command}>\n" in, "I{address} {reply}\r\n" out) the
// way firmware does, with faults that tests and users inject on purpose.
//
// The chain is reached through a link: an in-process SimPort (served by a
// SerialManager like any port) or a pseudo-terminal (PtyServer). A chain has
// one link at a time; opening another closes the earlier one. Output produced
// while no link is open is lost, as on a serial line nobody listens to.
//
// Time only moves when someone looks: every access releases the replies that
// have fallen due, and the link's readiness descriptor wakes its poller when
// the next one does. All state sits behind one mutex per chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/port.hpp"
#include "orvak/readiness.hpp"
#include "orvak/sim/export.hpp"
#include "orvak/sim/firmware.hpp"

namespace orvak::sim {

namespace detail {
class ChainCore;
}  // namespace detail

class PtyServer;

struct ModuleState {
    int address;
    int type_code;
    std::vector<AxisState> axes;
    bool moving;
    // Every command text that reached the module, in order, without the wrapper.
    std::vector<std::string> commands;
    // Kind-specific state (see ModuleFirmware::details).
    std::vector<Detail> details;
};

// One module of a chain, looked at live: each call reads the state now.
class ORVAK_SIM_EXPORT ModuleView {
  public:
    ModuleView(std::shared_ptr<detail::ChainCore> core, int address);
    [[nodiscard]] int address() const noexcept { return address_; }
    [[nodiscard]] ModuleState state() const;
    // Sets kind-specific state of this module (see ModuleFirmware::set_detail).
    void set_detail(std::string_view key, const DetailValue& value) const;

  private:
    std::shared_ptr<detail::ChainCore> core_;
    int address_;
};

// The in-process link. Reads and in_waiting first release every reply that
// is due. After an unplug every call but is_open() and close() throws
// PortError; is_open() stays true, as a vanished device's handle does.
class ORVAK_SIM_EXPORT SimPort final : public Port {
  public:
    // Opens a new link to the chain, closing the earlier one.
    explicit SimPort(std::shared_ptr<detail::ChainCore> core);
    ~SimPort() override;

    bool is_open() override;
    void write(std::string_view bytes) override;
    std::size_t in_waiting() override;
    std::string read(std::size_t count) override;
    void close() override;
    // Readable while output waits, from the moment the next reply is due, and
    // for good once the link is closed or the chain unplugged.
    [[nodiscard]] int readiness_fd() const override;

  private:
    std::shared_ptr<detail::ChainCore> core_;
    std::shared_ptr<Readiness> readiness_;
    std::uint64_t link_ = 0;
};

class ORVAK_SIM_EXPORT Chain {
  public:
    // One module per type code, at addresses 1, 2, ... Throws ValueError for a
    // code no module can report, or a negative or non-finite time scale.
    explicit Chain(std::span<const long long> type_codes, double time_scale = 0.0);
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    ~Chain();

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // Motion lengths are multiplied by this: 0 answers at once, 1 in real time.
    // A new scale applies to motions started afterwards.
    [[nodiscard]] double time_scale() const;
    void set_time_scale(double scale);

    // Opens a new in-process link, closing any earlier link.
    [[nodiscard]] std::shared_ptr<SimPort> open_port();
    // Serves a new link on a pseudo-terminal, closing any earlier link.
    [[nodiscard]] std::unique_ptr<PtyServer> serve_pty();

    // Throw ValueError for an address outside the chain.
    [[nodiscard]] ModuleView module(int address) const;
    [[nodiscard]] ModuleState state(int address) const;
    [[nodiscard]] std::vector<ModuleState> states() const;

    // Fault injection. Codes are refusal codes ("0x2a1"); texts are one line.
    void inject_notok(int address, std::string_view text = "NOTOK motor 1");
    // The next command to the module is answered "BAD <code>" and does nothing.
    void refuse_next(int address, std::string_view code);
    // The next command to the module gets no reply and does nothing.
    void swallow_next(int address);
    // Every reply line of the module goes out `seconds` late from now on (0
    // ends it); the module still answers in order.
    void delay_replies(int address, double seconds);
    // The next motion the module starts is acknowledged, then refused with
    // `code` halfway through; it never completes.
    void late_refusal_next(int address, std::string_view code);
    // Sets kind-specific state of a module (see ModuleFirmware::set_detail).
    void set_detail(int address, std::string_view key, const DetailValue& value);
    // Raw bytes put into the output as they are, now.
    void inject_garbage(std::string_view bytes);
    // The next reply line becomes readable in two parts: the second only once
    // the first has been read.
    void split_next_reply();
    // Reply lines end with `ending` from now on: "\r\n" (the default), "\n",
    // or "\n\r" as some modules send; ValueError for anything else.
    void set_line_ending(std::string_view ending);
    // The link is gone for good: the port fails, a pseudo-terminal hangs up.
    void unplug();

  private:
    std::shared_ptr<detail::ChainCore> core_;
    std::size_t size_;
};

}  // namespace orvak::sim
