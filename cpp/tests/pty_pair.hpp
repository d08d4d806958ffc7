// Both ends of a pseudo-terminal for tests. The slave ("near") end plays the
// serial device the code under test opens; the master ("far") end plays the
// instrument. Both are raw, so bytes pass unchanged (no echo, no CR/LF games).
// A ScriptedFarEnd answers the far end from a script.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvak/posix_serial_port.hpp"

namespace orvak::testing {

class PtyPair {
  public:
    // Throws std::system_error if no pseudo-terminal can be allocated.
    PtyPair();

    [[nodiscard]] const std::string& slave_path() const noexcept { return slave_path_; }
    [[nodiscard]] int master_fd() const noexcept { return master_.get(); }
    // Hands over the slave descriptor (e.g. to PosixSerialPort::adopt).
    [[nodiscard]] int release_slave() noexcept { return slave_.release(); }

    // Writes all of `bytes` to the master; throws std::system_error on error
    // or if the near side stops draining for five seconds.
    void write_far(std::string_view bytes);
    // What the near side wrote: everything up to and including `terminator`,
    // or whatever arrived before `timeout` or a hang-up.
    std::string read_far_until(std::string_view terminator, std::chrono::milliseconds timeout);
    std::string read_far_line(std::chrono::milliseconds timeout) {
        return read_far_until("\n", timeout);
    }
    // Up to `count` bytes, returning early only at `timeout` or a hang-up.
    std::string read_far(std::size_t count, std::chrono::milliseconds timeout);

    // Simulates unplugging the device: the near side sees a hang-up.
    void close_master() noexcept { master_.reset(); }

  private:
    // Reads what is available into buffer_, waiting until `deadline`.
    // Returns false on timeout or once the near side is gone.
    bool fill(std::chrono::steady_clock::time_point deadline);

    detail::UniqueFd master_;
    detail::UniqueFd slave_;
    std::string slave_path_;
    std::string buffer_;  // read from the master but not yet returned
};

// A scripted module on the far end of a pseudo-terminal: a thread answers
// each command line by the first rule whose `when` it contains (a reply is
// written as it stands; `hang_up` unplugs instead), and records the lines.
class ScriptedFarEnd {
  public:
    struct Rule {
        std::string when;
        std::string reply;
        bool hang_up = false;
    };

    explicit ScriptedFarEnd(std::vector<Rule> rules);

    // Hands over the near end (e.g. to PosixSerialPort::adopt).
    [[nodiscard]] int release_slave() noexcept { return pty_.release_slave(); }
    // The command lines received so far, without their line feeds.
    [[nodiscard]] std::vector<std::string> received() const;
    // Answers nothing more (before the near end closes, so no write fails).
    void stop() {
        responder_.request_stop();
        if (responder_.joinable()) responder_.join();
    }

  private:
    void respond(const std::stop_token& stop);

    PtyPair pty_;
    const std::vector<Rule> rules_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::jthread responder_;  // last: stopped and joined first
};

}  // namespace orvak::testing
