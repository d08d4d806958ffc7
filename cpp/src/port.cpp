// Out-of-line key functions: the vtables and typeinfo of Port and PortError
// live in the core library, so every extension module shares one copy.
#include "orvak/port.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace orvak {

void detail::UniqueFd::reset(int fd) noexcept {
    // close() is not retried on EINTR: Linux releases the descriptor regardless.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

detail::UniqueFd detail::duplicate_fd(int fd) noexcept {
    return UniqueFd(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1);
}

PortError::~PortError() = default;

Port::~Port() = default;

}  // namespace orvak
