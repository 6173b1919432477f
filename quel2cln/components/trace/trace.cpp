#include "components/trace/trace.h"

#include <chrono>
#include <cstdio>

#include "components/text/text.h"

namespace quel::trace {

using orbl::wide_to_utf8;

namespace detail {
// Process-wide like the client context itself: the hooks sit in layers that
// do not see the context. The exports are not called from two threads at once.
bool enabled = false;
}  // namespace detail

namespace {

bool noted = false;

void note_once(const std::string& text) {
    if (noted) return;
    noted = true;
    orbl::trace_sink::note("quel2cln: " + text + "; tracing is off\n");
}

void escape(std::string& out, unsigned char c) {
    switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
    }
    if (c >= 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
        return;
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
}

}  // namespace

std::wstring choose_file(const std::wstring& configured) {
    std::wstring from_environment;
    if (orbl::trace_sink::environment("QUEL2CLN_TRACE", from_environment)) return from_environment;
    return configured;
}

void start(const std::wstring& path) {
    stop();
    if (path.empty()) return;
    if (!orbl::trace_sink::open(path)) {
        note_once("cannot open the trace file");
        return;
    }
    detail::enabled = true;
}

void stop() {
    if (!detail::enabled) return;
    detail::enabled = false;
    orbl::trace_sink::close();
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool named_by_environment() {
    std::wstring ignored;
    return orbl::trace_sink::environment("QUEL2CLN_TRACE", ignored);
}

void write(const char* event, const std::string& details) noexcept {
    if (!detail::enabled) return;
    try {
        std::string line = orbl::trace_sink::timestamp() + " " +
                           std::to_string(orbl::trace_sink::process_id()) + " " + event + details + "\n";
        if (orbl::trace_sink::append(line)) return;
        note_once("cannot write the trace file");
    } catch (...) {
        // Out of memory: the line is lost, and so is the trace.
    }
    stop();
}

void append_escaped(std::string& out, std::string_view value) {
    for (char c : value) escape(out, static_cast<unsigned char>(c));
}

std::string text_field(const char* name, std::string_view value) {
    std::string out = std::string(" ") + name + "[" + std::to_string(value.size()) + "]=\"";
    append_escaped(out, value.substr(0, max_text_bytes));
    out += '"';
    if (value.size() > max_text_bytes) out += "...";
    return out;
}

void file_failure(const char* what, const std::wstring& path, int os_error) noexcept {
    line("file-error", [&] {
        return text_field("error", what) + text_field("path", wide_to_utf8(path)) +
               " os_error=" + std::to_string(os_error);
    });
}

std::string bytes_field(const char* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out = " bytes[" + std::to_string(size) + "]=";
    for (std::size_t i = 0; i < size && i < 32; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    if (size > 32) out += "...";
    return out;
}

}  // namespace quel::trace
