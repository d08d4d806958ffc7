// Recordings of a chain's wire traffic, one JSON object a line:
//   {"t": 0.001234, "kind": "command", "line": "<I2 G0 X0.25 W1>"}
//   {"t": 0.001301, "kind": "reply", "line": "I2 OK\r"}
// `t` is seconds since the port was opened; `line` is the line's bytes
// without its "\n" (bytes above 0x7f, which no well-formed line holds, are
// written as \u0080 to \u00ff so that any byte survives the round trip).
//
// RecordingPort wraps any port and writes such a file as the traffic passes.
// ReplayPort answers from one: every command written must be the next
// recorded command, or the replay fails at once with an error naming the
// expected and the actual line; the replies recorded after a command are
// released after it, at once or at the recorded pace. Both are ports like
// any other: a SerialManager serves them event-driven.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvak/export.hpp"
#include "orvak/line_assembler.hpp"
#include "orvak/port.hpp"
#include "orvak/readiness.hpp"

namespace orvak {

struct WireRecord {
    enum class Kind { command, reply };
    double t = 0.0;
    Kind kind = Kind::command;
    std::string line;
};

ORVAK_EXPORT std::string to_json_line(const WireRecord& record);
// Throws ValueError naming what is wrong with the text.
ORVAK_EXPORT WireRecord parse_json_line(std::string_view text);
// Every record of a recording's text; throws ValueError naming `name`, the
// line number and the character of the first malformed record.
ORVAK_EXPORT std::vector<WireRecord> parse_recording(std::string_view text,
                                                     const std::string& name);
// Every record of a recording file, as parse_recording names it by its path;
// std::system_error when it cannot be read (EISDIR for a directory),
// ValueError for a path that is no regular file (a FIFO, a device).
ORVAK_EXPORT std::vector<WireRecord> read_recording(const std::string& path);

// A replayed command that is not the recorded one; the port is dead after it.
class ORVAK_EXPORT ReplayMismatch final : public PortError {
  public:
    using PortError::PortError;
    ~ReplayMismatch() override;
};

class ORVAK_EXPORT RecordingPort final : public Port {
  public:
    // Creates (truncates) the file at `path`; std::system_error when it cannot.
    RecordingPort(std::shared_ptr<Port> inner, const std::string& path);
    ~RecordingPort() override;

    bool is_open() override;
    void write(std::string_view bytes) override;
    std::size_t in_waiting() override;
    std::string read(std::size_t count) override;
    void close() override;
    [[nodiscard]] int readiness_fd() const override;
    [[nodiscard]] detail::UniqueFd watch_fd() override;

    [[nodiscard]] const std::shared_ptr<Port>& inner() const noexcept { return inner_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

  private:
    void record(WireRecord::Kind kind, std::string line);

    struct FileCloser {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    const std::shared_ptr<Port> inner_;
    const std::string path_;
    const std::chrono::steady_clock::time_point opened_;
    std::mutex mutex_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    LineAssembler commands_;
    LineAssembler replies_;
};

class ORVAK_EXPORT ReplayPort final : public Port {
  public:
    // Loads the recording; `paced` releases replies at their recorded delays.
    explicit ReplayPort(const std::string& path, bool paced = false);
    ~ReplayPort() override;

    bool is_open() override;
    void write(std::string_view bytes) override;
    std::size_t in_waiting() override;
    std::string read(std::size_t count) override;
    void close() override;
    [[nodiscard]] int readiness_fd() const override { return readiness_.fd(); }

    // The link is gone for good: every call but is_open() and close() fails.
    void unplug();
    // Records not yet replayed (commands and replies).
    [[nodiscard]] std::size_t remaining() const;
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] bool paced() const noexcept { return paced_; }

  private:
    using Clock = std::chrono::steady_clock;
    void require_usable() const;
    void check(const std::string& line);
    // Queues the replies recorded after the record before `next_`.
    void schedule_replies(double after_t, Clock::time_point now);
    void release_due(Clock::time_point now);
    void sync_readiness();

    const std::string path_;
    const bool paced_;
    const std::vector<WireRecord> records_;
    mutable std::mutex mutex_;
    Readiness readiness_;
    std::size_t next_ = 0;
    std::deque<std::pair<Clock::time_point, std::string>> scheduled_;
    std::string output_;
    LineAssembler commands_;
    std::optional<std::string> failure_;
    bool open_ = true;
    bool unplugged_ = false;
};

}  // namespace orvak
