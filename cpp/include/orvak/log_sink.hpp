// Where the core's log lines go. Patterns use %s and %r placeholders, as
// Python's logging does, so a host can hand pattern and arguments over as a
// record; the stderr sink formats them itself.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"

namespace orvak {

enum class LogLevel { debug = 10, warning = 30, error = 40 };

class ORVAK_EXPORT LogSink {
  public:
    virtual ~LogSink();
    [[nodiscard]] virtual bool enabled(LogLevel level) const = 0;
    // `error`, when set, is the failure whose traceback belongs to the line.
    virtual void log(LogLevel level, std::string_view pattern, std::vector<std::string> args,
                     std::exception_ptr error) = 0;
};

// Fills %s with the argument and %r with repr() of it; %% is a percent sign.
ORVAK_EXPORT std::string format_log_pattern(std::string_view pattern,
                                            const std::vector<std::string>& args);

// Writes "LEVEL:logger:message" lines to stderr, warnings and errors only.
class ORVAK_EXPORT StderrLogSink final : public LogSink {
  public:
    explicit StderrLogSink(std::string logger_name);
    [[nodiscard]] bool enabled(LogLevel level) const override;
    void log(LogLevel level, std::string_view pattern, std::vector<std::string> args,
             std::exception_ptr error) override;

  private:
    std::string logger_name_;
};

}  // namespace orvak
