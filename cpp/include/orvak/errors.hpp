// Error types raised by the core. The Python bindings map each kind onto the
// matching class of orvaklab.exceptions; C++ users catch them directly.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "orvak/export.hpp"

namespace orvak {

enum class ErrorKind {
    general,
    timeout,
    connection,
    command_rejected,
    position_unknown,
    hardware,
    not_supported,
    value,
    stopped,
};

class ORVAK_EXPORT Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message);
    ~Error() override;
    [[nodiscard]] virtual ErrorKind kind() const noexcept { return ErrorKind::general; }
};

class ORVAK_EXPORT TimeoutError : public Error {
  public:
    using Error::Error;
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::timeout; }
};

class ORVAK_EXPORT ConnectionError : public Error {
  public:
    // `cause`: what ended the link (a port error), when it is known.
    explicit ConnectionError(const std::string& message, std::exception_ptr cause = nullptr);
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::connection; }
    [[nodiscard]] const std::exception_ptr& cause() const noexcept { return cause_; }

  private:
    std::exception_ptr cause_;
};

class ORVAK_EXPORT HardwareError : public Error {
  public:
    using Error::Error;
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::hardware; }
};

class ORVAK_EXPORT NotSupportedError : public Error {
  public:
    using Error::Error;
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::not_supported; }
};

class ORVAK_EXPORT ValueError : public Error {
  public:
    // `cause`: the failure behind it (a reply field that did not parse), when
    // there is one; Python sees it as __cause__.
    explicit ValueError(const std::string& message, std::exception_ptr cause = nullptr);
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::value; }
    [[nodiscard]] const std::exception_ptr& cause() const noexcept { return cause_; }

  private:
    std::exception_ptr cause_;
};

// A stop (from any thread) ended the operation before it finished.
class ORVAK_EXPORT StoppedError : public Error {
  public:
    using Error::Error;
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::stopped; }
};

// Firmware answered BAD: the command arrived and was refused.
class ORVAK_EXPORT CommandRejectedError : public Error {
  public:
    CommandRejectedError(const std::string& message, std::optional<std::string> code,
                         std::string reply);
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::command_rejected; }
    [[nodiscard]] const std::optional<std::string>& code() const noexcept { return code_; }
    [[nodiscard]] const std::string& reply() const noexcept { return reply_; }

  private:
    std::optional<std::string> code_;
    std::string reply_;
};

// The position is not established: a move refused by the home interlock
// (keeping the refusal that caused it), or a driver that lost track of it.
class ORVAK_EXPORT PositionUnknownError : public Error {
  public:
    explicit PositionUnknownError(const std::string& message);
    PositionUnknownError(const std::string& message, CommandRejectedError cause);
    [[nodiscard]] ErrorKind kind() const noexcept override { return ErrorKind::position_unknown; }
    [[nodiscard]] const std::optional<CommandRejectedError>& cause() const noexcept {
        return cause_;
    }

  private:
    std::optional<CommandRejectedError> cause_;
};

// A wrong argument type (Python TypeError); the message names the argument.
class ORVAK_EXPORT ArgumentTypeError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// An index outside a sequence (Python IndexError).
class ORVAK_EXPORT IndexOutOfRange : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

// A user interrupt noticed during a wait. The host environment derives its own
// type carrying the original request; the interrupt guard only needs this base.
class ORVAK_EXPORT Interrupted : public std::exception {
  public:
    ~Interrupted() override;
    [[nodiscard]] const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace orvak
