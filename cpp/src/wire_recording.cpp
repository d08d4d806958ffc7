#include "orvak/wire_recording.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "orvak/errors.hpp"
#include "orvak/pytext.hpp"

namespace orvak {

namespace {

constexpr std::string_view hex_digits = "0123456789abcdef";
constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

std::string_view kind_name(WireRecord::Kind kind) {
    return kind == WireRecord::Kind::command ? "command" : "reply";
}

void append_json_string(std::string& out, std::string_view bytes) {
    out += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7f) {
                    out += "\\u00";
                    out += hex_digits[byte >> 4];
                    out += hex_digits[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// Reads the flat JSON objects of a recording: string and number values only.
class FlatObjectReader {
  public:
    explicit FlatObjectReader(std::string_view text) : text_(text) {}

    WireRecord read() {
        WireRecord record;
        bool has_t = false;
        bool has_kind = false;
        bool has_line = false;
        expect('{');
        if (!consume('}')) {
            do {
                const std::string key = string_value();
                expect(':');
                if (key == "t") {
                    record.t = number_value();
                    has_t = true;
                } else if (key == "kind") {
                    const std::string kind = string_value();
                    if (kind == "command") {
                        record.kind = WireRecord::Kind::command;
                    } else if (kind == "reply") {
                        record.kind = WireRecord::Kind::reply;
                    } else {
                        fail("kind must be \"command\" or \"reply\"");
                    }
                    has_kind = true;
                } else if (key == "line") {
                    record.line = string_value();
                    has_line = true;
                } else {
                    skip_value();
                }
            } while (consume(','));
            expect('}');
        }
        skip_space();
        if (at_ < text_.size()) fail("text after the record");
        if (!has_t || !has_kind || !has_line) fail("a record needs \"t\", \"kind\" and \"line\"");
        return record;
    }

  private:
    // The position counts characters (UTF-8 sequences), as an editor's column does.
    [[noreturn]] void fail(std::string_view what) const {
        const auto before = text_.substr(0, std::min(at_, text_.size()));
        const auto column = 1 + std::count_if(before.begin(), before.end(), [](char c) {
                                return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
                            });
        throw ValueError(std::string(what) + " (at character " + std::to_string(column) + ")");
    }

    void skip_space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }

    bool consume(char c) {
        skip_space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void expect(char c) {
        if (!consume(c)) fail(std::string("expected '") + c + "'");
    }

    unsigned hex4() {
        if (at_ + 4 > text_.size()) fail("short \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const auto digit = hex_digits.find(static_cast<char>(text_[at_] | 0x20));
            if (digit == std::string_view::npos) fail("bad \\u escape");
            value = value * 16 + static_cast<unsigned>(digit);
            ++at_;
        }
        return value;
    }

    static void append_utf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xc0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xe0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        }
    }

    std::string string_value() {
        expect('"');
        std::string out;
        for (;;) {
            if (at_ >= text_.size()) fail("unterminated string");
            const char c = text_[at_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) fail("unterminated escape");
            const char e = text_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    const std::size_t escape = at_ - 2;
                    unsigned code = hex4();
                    // A character beyond U+FFFF comes as a pair of surrogates; half
                    // of one stands for nothing.
                    if (code >= 0xd800 && code < 0xe000) {
                        const bool high = code < 0xdc00 && text_.substr(at_, 2) == "\\u";
                        if (high) at_ += 2;
                        const unsigned low = high ? hex4() : 0;
                        if (!(low >= 0xdc00 && low < 0xe000)) {
                            at_ = escape;
                            fail("unpaired surrogate in \\u escape");
                        }
                        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                    }
                    // The code points a recording writes for raw bytes stand for those bytes.
                    if (code <= 0xff) {
                        out += static_cast<char>(code);
                    } else {
                        append_utf8(out, code);
                    }
                    break;
                }
                default:
                    fail("bad escape");
            }
        }
    }

    double number_value() {
        skip_space();
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-.0123456789eE").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
        double value = 0.0;
        const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + at_, value);
        if (error != std::errc{} || end != text_.data() + at_ || !std::isfinite(value)) {
            at_ = start;
            fail("bad number");
        }
        return value;
    }

    // The value of a key this reader does not know (a later version's): a
    // string, or anything up to the next ',' or '}' outside brackets, nested
    // strings included. Counted, not recursive, so deep nesting costs no stack.
    void skip_value() {
        skip_space();
        const std::size_t start = at_;
        std::size_t depth = 0;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '"') {
                string_value();
                continue;
            }
            if (depth == 0 && (c == ',' || c == '}')) break;
            if (c == '[' || c == '{') {
                ++depth;
            } else if (c == ']' || c == '}') {
                if (depth == 0) fail("unbalanced bracket");
                --depth;
            }
            ++at_;
        }
        if (depth != 0) fail("unterminated value");
        if (at_ == start) fail("expected a value");
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::string to_json_line(const WireRecord& record) {
    std::string out = "{\"t\": " + text::number(record.t) + ", \"kind\": \"";
    out += kind_name(record.kind);
    out += "\", \"line\": ";
    append_json_string(out, record.line);
    out += '}';
    return out;
}

WireRecord parse_json_line(std::string_view text) { return FlatObjectReader(text).read(); }

std::vector<WireRecord> parse_recording(std::string_view text, const std::string& name) {
    // An editor may have put a byte-order mark in front.
    if (text.starts_with(utf8_bom)) text.remove_prefix(utf8_bom.size());
    std::vector<WireRecord> records;
    for (std::size_t number = 1; !text.empty(); ++number) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (text::strip(line).empty()) continue;
        try {
            records.push_back(parse_json_line(line));
        } catch (const ValueError& error) {
            throw ValueError(
                text::fill("{}, line {}: not a wire record: {}",
                           {name, text::integer(static_cast<long long>(number)), error.what()}));
        }
    }
    return records;
}

// A directory or a device would read as an empty recording (or block, a
// FIFO); it is refused before it is opened.
std::vector<WireRecord> read_recording(const std::string& path) {
    std::error_code status_error;
    const auto status = std::filesystem::status(path, status_error);
    if (std::filesystem::is_directory(status)) {
        throw std::system_error(EISDIR, std::generic_category(), path);
    }
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        throw ValueError(
            text::fill("{} is not a regular file, so it holds no wire recording", {path}));
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::system_error(errno, std::generic_category(), path);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (file.bad()) throw std::system_error(errno, std::generic_category(), path);
    return parse_recording(text, path);
}

ReplayMismatch::~ReplayMismatch() = default;

// ---- RecordingPort ----

RecordingPort::RecordingPort(std::shared_ptr<Port> inner, const std::string& path)
    : inner_(std::move(inner)),
      path_(path),
      opened_(std::chrono::steady_clock::now()),
      file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::system_error(errno, std::generic_category(), path);
}

RecordingPort::~RecordingPort() = default;

void RecordingPort::record(WireRecord::Kind kind, std::string line) {
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - opened_).count();
    const std::string text = to_json_line(WireRecord{t, kind, std::move(line)}) + "\n";
    if (!file_) return;
    // Flushed line by line, so a recording survives a crash of the program.
    std::fwrite(text.data(), 1, text.size(), file_.get());
    std::fflush(file_.get());
}

bool RecordingPort::is_open() { return inner_->is_open(); }

void RecordingPort::write(std::string_view bytes) {
    inner_->write(bytes);
    const std::lock_guard lock(mutex_);
    commands_.feed(bytes,
                   [&](std::string line) { record(WireRecord::Kind::command, std::move(line)); });
}

std::size_t RecordingPort::in_waiting() { return inner_->in_waiting(); }

std::string RecordingPort::read(std::size_t count) {
    std::string bytes = inner_->read(count);
    const std::lock_guard lock(mutex_);
    replies_.feed(bytes,
                  [&](std::string line) { record(WireRecord::Kind::reply, std::move(line)); });
    return bytes;
}

void RecordingPort::close() {
    inner_->close();
    const std::lock_guard lock(mutex_);
    file_.reset();
}

int RecordingPort::readiness_fd() const { return inner_->readiness_fd(); }

detail::UniqueFd RecordingPort::watch_fd() { return inner_->watch_fd(); }

// ---- ReplayPort ----

ReplayPort::ReplayPort(const std::string& path, bool paced)
    : path_(path), paced_(paced), records_(read_recording(path)) {
    const std::lock_guard lock(mutex_);
    // Lines that came before the first command (a start-up banner) come now.
    schedule_replies(0.0, Clock::now());
    release_due(Clock::now());
    sync_readiness();
}

ReplayPort::~ReplayPort() = default;

void ReplayPort::require_usable() const {
    if (unplugged_) throw PortError("replay port unplugged");
    if (failure_) throw ReplayMismatch(*failure_);
}

bool ReplayPort::is_open() {
    const std::lock_guard lock(mutex_);
    return open_;
}

void ReplayPort::schedule_replies(double after_t, Clock::time_point now) {
    while (next_ < records_.size() && records_[next_].kind == WireRecord::Kind::reply) {
        const auto& reply = records_[next_++];
        const double delay = paced_ ? std::max(0.0, reply.t - after_t) : 0.0;
        scheduled_.emplace_back(
            now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay)),
            reply.line + "\n");
    }
}

void ReplayPort::check(const std::string& line) {
    if (next_ >= records_.size()) {
        failure_ =
            text::fill("replay of {}: the recording has ended, but {!r} was sent", {path_, line});
    } else if (records_[next_].line != line) {
        failure_ = text::fill(
            "replay of {}: expected the command {!r} (record {}), but {!r} was sent",
            {path_, records_[next_].line, text::integer(static_cast<long long>(next_ + 1)), line});
    }
    if (failure_) {
        sync_readiness();
        throw ReplayMismatch(*failure_);
    }
    const double t = records_[next_++].t;
    schedule_replies(t, Clock::now());
}

void ReplayPort::write(std::string_view bytes) {
    const std::lock_guard lock(mutex_);
    require_usable();
    if (!open_) return;
    std::vector<std::string> lines;
    commands_.feed(bytes, [&](std::string line) { lines.push_back(std::move(line)); });
    for (const auto& line : lines) check(line);
    release_due(Clock::now());
    sync_readiness();
}

std::size_t ReplayPort::in_waiting() {
    const std::lock_guard lock(mutex_);
    require_usable();
    release_due(Clock::now());
    sync_readiness();
    return output_.size();
}

std::string ReplayPort::read(std::size_t count) {
    const std::lock_guard lock(mutex_);
    require_usable();
    release_due(Clock::now());
    const std::size_t taken = std::min(count, output_.size());
    std::string out = output_.substr(0, taken);
    output_.erase(0, taken);
    sync_readiness();
    return out;
}

void ReplayPort::close() {
    const std::lock_guard lock(mutex_);
    open_ = false;
    output_.clear();
    scheduled_.clear();
    sync_readiness();
}

void ReplayPort::unplug() {
    const std::lock_guard lock(mutex_);
    unplugged_ = true;
    sync_readiness();
}

std::size_t ReplayPort::remaining() const {
    const std::lock_guard lock(mutex_);
    return records_.size() - next_;
}

void ReplayPort::release_due(Clock::time_point now) {
    while (!scheduled_.empty() && scheduled_.front().first <= now) {
        output_ += scheduled_.front().second;
        scheduled_.pop_front();
    }
}

// Readable while output waits, from the next reply's due time, and for good
// once the port is closed, unplugged or failed (so a poller wakes to see it).
void ReplayPort::sync_readiness() {
    const bool dead = !open_ || unplugged_ || failure_.has_value();
    readiness_.set_pending(dead || !output_.empty());
    readiness_.arm(dead || scheduled_.empty() ? std::nullopt
                                              : std::optional(scheduled_.front().first));
}

}  // namespace orvak
