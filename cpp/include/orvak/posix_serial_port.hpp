// A serial device opened directly through POSIX: raw 8N1, chosen baud rate,
// non-blocking, exclusive. Unplugging (hang-up, EIO, ENXIO, ENODEV) is a
// PortError, so the manager reports a lost link once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "orvak/port.hpp"
#include "orvak/unique_fd.hpp"

namespace orvak {

class ORVAK_EXPORT PosixSerialPort final : public Port {
    struct Adopted {
        explicit Adopted() = default;
    };

  public:
    static constexpr int default_baudrate = 115200;

    // Opens `path`; throws PortError naming the path and the reason.
    // `exclusive` takes an advisory lock that other clients (pyserial's
    // exclusive mode included) respect.
    explicit PosixSerialPort(std::string path, int baudrate = default_baudrate,
                             bool exclusive = true);
    // Adopts an already-open descriptor (a pseudo-terminal end in tests): made
    // non-blocking, otherwise left as configured. Takes ownership even on error.
    static std::shared_ptr<PosixSerialPort> adopt(int fd, std::string name);
    // Only adopt() can name the tag; public so that make_shared can construct.
    PosixSerialPort(Adopted, detail::UniqueFd fd, std::string name);
    ~PosixSerialPort() override;

    bool is_open() override;
    void write(std::string_view bytes) override;
    std::size_t in_waiting() override;
    std::string read(std::size_t count) override;
    void close() override;
    [[nodiscard]] int readiness_fd() const override;

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] int baudrate() const noexcept { return baudrate_; }

  private:
    void wait_writable(int timeout_ms);
    void probe_hangup(std::string& out, std::size_t max);
    [[noreturn]] void fail(std::string_view what, int err) const;
    [[noreturn]] void fail_disconnected() const;

    const std::string path_;
    const int baudrate_ = default_baudrate;
    mutable std::mutex mutex_;
    detail::UniqueFd fd_;           // guarded by mutex_
    std::string pending_;           // guarded by mutex_; bytes taken while probing for a hang-up
    std::atomic<int> open_fd_{-1};  // fd_.get() mirrored for lock-free is_open()/readiness_fd()
};

}  // namespace orvak
