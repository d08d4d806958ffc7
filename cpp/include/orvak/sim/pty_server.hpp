// A chain served on a pseudo-terminal, so that any serial client (pyserial,
// the native port, a terminal program) can open it by path. One thread moves
// bytes between the pseudo-terminal and the chain's link; it sleeps in poll()
// until either side has something.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "orvak/posix_serial_port.hpp"
#include "orvak/sim/chain.hpp"
#include "orvak/sim/export.hpp"

namespace orvak::sim {

class ORVAK_SIM_EXPORT PtyServer {
  public:
    // Serves `link` on a new raw pseudo-terminal. Throws std::system_error if
    // none can be allocated.
    explicit PtyServer(std::shared_ptr<SimPort> link);
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;
    ~PtyServer();

    // The device path clients open.
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    // Whether the serving thread still runs: it ends on close() and unplug(),
    // and by itself when the chain is unplugged or another link is opened.
    [[nodiscard]] bool serving() const;

    // Pulls the cable: clients see a hang-up. The chain's link is closed too.
    void unplug();
    // Stops serving and releases everything; idempotent.
    void close();

  private:
    void serve() noexcept;
    void stop();

    const std::shared_ptr<SimPort> link_;
    orvak::detail::UniqueFd master_;  // the serving thread's while it runs
    // Held so that the master does not report a hang-up whenever no client
    // has the device open.
    orvak::detail::UniqueFd slave_;
    orvak::detail::UniqueFd wake_;
    std::string path_;
    std::atomic<bool> serving_{true};
    std::mutex stop_mutex_;
    std::thread thread_;
};

}  // namespace orvak::sim
