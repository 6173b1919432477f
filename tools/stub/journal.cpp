#include "journal.h"

#include <chrono>
#include <ctime>
#include <string_view>

#include "../common/text.h"

namespace stub {
namespace {

// Writes one journal line in pieces: a request of tens of MB is written
// from its own bytes, never built as a JSON document or a whole line.
class line_writer {
public:
    explicit line_writer(std::FILE* file) : file_(file) {}

    void raw(std::string_view s) {
        if (buffer_.size() + s.size() > chunk) {
            drain();
            if (s.size() >= chunk) {  // a long run goes out from where it is
                std::fwrite(s.data(), 1, s.size(), file_);
                return;
            }
        }
        buffer_.append(s);
    }
    void key(std::string_view name) {
        raw(first_ ? "{\"" : ",\"");
        first_ = false;
        raw(name);
        raw("\":");
    }
    // The bytes as a JSON string when valid UTF-8, else {"hex": "..."}.
    void text(const std::string& bytes) { text(bytes, tools::is_valid_utf8(bytes)); }
    void text(std::string_view bytes, bool utf8) {
        if (!utf8) return hex(bytes);
        raw("\"");
        // Runs of bytes that need no escape go out as they are.
        std::size_t plain = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const auto u = static_cast<unsigned char>(bytes[i]);
            if (u >= 0x20 && u != '"' && u != '\\') continue;
            raw(bytes.substr(plain, i - plain));
            escaped(bytes[i]);
            plain = i + 1;
        }
        raw(bytes.substr(plain));
        raw("\"");
    }
    void number(std::int64_t n) { raw(std::to_string(n)); }
    void end() {
        raw("}\n");
        drain();
        // Flushed per line: tests and tail -f read the journal while the
        // stub runs.
        std::fflush(file_);
    }

private:
    static constexpr std::size_t chunk = 65536;

    // As the JSON writer escapes: the short forms, else \u00XX (only
    // control bytes, quote and backslash come here).
    void escaped(char c) {
        static const char digits[] = "0123456789abcdef";
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': return raw("\\\"");
        case '\\': return raw("\\\\");
        case '\b': return raw("\\b");
        case '\f': return raw("\\f");
        case '\n': return raw("\\n");
        case '\r': return raw("\\r");
        case '\t': return raw("\\t");
        default: break;
        }
        const char code[] = {'\\', 'u', '0', '0', digits[u >> 4], digits[u & 15]};
        raw(std::string_view(code, sizeof code));
    }
    void hex(std::string_view bytes) {
        static const char digits[] = "0123456789abcdef";
        raw("{\"hex\":\"");
        for (const char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            const char pair[] = {digits[u >> 4], digits[u & 15]};
            raw(std::string_view(pair, sizeof pair));
        }
        raw("\"}");
    }
    void drain() {
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
        buffer_.clear();
    }

    std::FILE* file_;
    std::string buffer_;
    bool first_ = true;
};

void begin(line_writer& out, unsigned long connection, int type) {
    out.key("time");
    out.text(utc_timestamp());
    out.key("conn");
    out.number(static_cast<std::int64_t>(connection));
    out.key("type");
    out.text(type_name(type));
}

void write_field(line_writer& out, const field& f) {
    switch (f.what) {
    case field::kind::text: out.text(f.text); return;
    case field::kind::integer: out.number(f.number); return;
    case field::kind::pairs: break;
    }
    out.raw("[");
    bool first = true;
    f.for_each_pair([&](std::string_view a, std::string_view b) {
        out.raw(first ? "[" : ",[");
        first = false;
        out.text(a, tools::is_valid_utf8(std::string(a)));
        out.raw(",");
        out.text(b, tools::is_valid_utf8(std::string(b)));
        out.raw("]");
    });
    out.raw("]");
}

}  // namespace

std::string utc_timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(ms));
    return text;
}

journal::~journal() {
    if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool journal::open(const std::string& path) {
    if (path == "-") {
        file_ = stdout;
        owned_ = false;
        return true;
    }
    file_ = std::fopen(path.c_str(), "a");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
}

void journal::record(unsigned long connection, const request& req, const answer& a) {
    if (file_ == nullptr) return;
    line_writer out(file_);
    begin(out, connection, req.type);
    for (const auto& [name, f] : req.fields) {
        out.key(name);
        write_field(out, f);
    }
    out.key("rule");
    if (a.rule == 0) out.raw("null");
    else out.number(static_cast<std::int64_t>(a.rule));
    out.key("answer");
    out.text(action_name(a.what));
    out.end();
}

void journal::record_refused(unsigned long connection, int type, const std::string& reason) {
    if (file_ == nullptr) return;
    line_writer out(file_);
    begin(out, connection, type);
    out.key("rule");
    out.raw("null");
    out.key("answer");
    out.text("error");
    out.key("error");
    out.text(reason);
    out.end();
}

}  // namespace stub
