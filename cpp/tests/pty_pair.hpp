// Both ends of a pseudo-terminal for tests. The slave ("near") end plays the
// serial device the code under test opens; the master ("far") end plays the
// instrument. Both are raw, so bytes pass unchanged (no echo, no CR/LF games).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

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

}  // namespace orvak::testing
