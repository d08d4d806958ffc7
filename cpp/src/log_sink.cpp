#include "orvak/log_sink.hpp"

#include <iostream>
#include <utility>

#include "orvak/pytext.hpp"

namespace orvak {

LogSink::~LogSink() = default;

std::string format_log_pattern(std::string_view pattern, const std::vector<std::string>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%' || i + 1 == pattern.size()) {
            out += c;
            continue;
        }
        const char spec = pattern[++i];
        if (spec == '%') {
            out += '%';
        } else if (next < args.size()) {
            out += spec == 'r' ? text::repr(args[next]) : args[next];
            ++next;
        }
    }
    return out;
}

StderrLogSink::StderrLogSink(std::string logger_name) : logger_name_(std::move(logger_name)) {}

bool StderrLogSink::enabled(LogLevel level) const { return level >= LogLevel::warning; }

void StderrLogSink::log(LogLevel level, std::string_view pattern, std::vector<std::string> args,
                        std::exception_ptr error) {
    if (!enabled(level)) return;
    std::string line = level == LogLevel::error ? "ERROR:" : "WARNING:";
    line += logger_name_ + ":" + format_log_pattern(pattern, args);
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            line += std::string("\n  ") + e.what();
        } catch (...) {
            line += "\n  (unknown error)";
        }
    }
    std::cerr << line << '\n';
}

}  // namespace orvak
