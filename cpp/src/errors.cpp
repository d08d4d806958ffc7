#include "orvak/errors.hpp"

#include <utility>

namespace orvak {

Error::Error(const std::string& message) : std::runtime_error(message) {}
Error::~Error() = default;

ConnectionError::ConnectionError(const std::string& message, std::exception_ptr cause)
    : Error(message), cause_(std::move(cause)) {}

ValueError::ValueError(const std::string& message, std::exception_ptr cause)
    : Error(message), cause_(std::move(cause)) {}

CommandRejectedError::CommandRejectedError(const std::string& message,
                                           std::optional<std::string> code, std::string reply)
    : Error(message), code_(std::move(code)), reply_(std::move(reply)) {}

PositionUnknownError::PositionUnknownError(const std::string& message) : Error(message) {}

PositionUnknownError::PositionUnknownError(const std::string& message, CommandRejectedError cause)
    : Error(message), cause_(std::move(cause)) {}

Interrupted::~Interrupted() = default;

}  // namespace orvak
