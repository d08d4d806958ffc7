// Sole owner of a file descriptor; closes it when destroyed or reset.
#pragma once

#include "orvak/export.hpp"

namespace orvak::detail {

class ORVAK_EXPORT UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }
    [[nodiscard]] int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// A close-on-exec duplicate of `fd`, or an empty UniqueFd when `fd` is not open.
ORVAK_EXPORT UniqueFd duplicate_fd(int fd) noexcept;

}  // namespace orvak::detail
