#pragma once
// Room trace/: trace.h and trace.cpp format the lines; trace_posix.cpp and
// trace_win32.cpp open and write the file without blocking.
//
// The trace: one line per event of the library's traffic, appended to the
// file the host names ([Advanced] TraceFile, or QUEL2CLN_TRACE). While it is
// off a hook costs one test of a flag: nothing is formatted and no system
// call is made. A trace that cannot be written turns itself off; it never
// changes a call's result. Never give it a password or key.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/net/socket.h"

namespace quel::trace {

namespace detail {
extern bool enabled;
}  // namespace detail

inline bool on() { return detail::enabled; }

// The file named by QUEL2CLN_TRACE when that is set (even empty), else
// `configured`. Empty: off.
std::wstring choose_file(const std::wstring& configured);
// Closes the current file, then opens `path` for appending; empty: off.
// A file that cannot be opened leaves the trace off (noted once on standard
// error when that is a terminal).
void start(const std::wstring& path);
void stop();

// Milliseconds of a steady clock, for durations.
std::int64_t now_ms();
// True when QUEL2CLN_TRACE is set (even empty): it then names the trace.
bool named_by_environment();

// Appends "<time> <pid> <event> <details>" as one whole line. A trace that
// cannot be written, or no memory for the line, turns the trace off.
void write(const char* event, const std::string& details) noexcept;
// As write, with the details built by `build()` only while the trace is on,
// and inside the trace's own error handling: building a line never makes
// the caller fail.
template <typename Build>
void line(const char* event, Build&& build) noexcept {
    if (!on()) return;
    try {
        write(event, build());
    } catch (...) {
        stop();  // no memory for the line: the trace goes rather than the call
    }
}

// Most bytes of one text shown on a line.
constexpr std::size_t max_text_bytes = 200;

// ` name[length]="text"`: the text escaped (\", \\, \n, \r, \t, \xHH for
// other bytes outside printable ASCII) and cut at max_text_bytes, marked
// "...".
std::string text_field(const char* name, std::string_view value);
// Appends the escaped bytes of `value` to `out`.
void append_escaped(std::string& out, std::string_view value);

// A file that could not be read: what it is for (its error text), its
// resolved path and the system's error code (0: the file was there but of
// the wrong type or size).
void file_failure(const char* what, const std::wstring& path, int os_error) noexcept;
// " bytes=hex": at most the first 32 of `size` bytes, for a frame fault.
std::string bytes_field(const char* data, std::size_t size);

}  // namespace quel::trace

// What the trace needs of the platform: one implementation per platform.
namespace orbl::trace_sink {

// Opens `path` for appending (created when missing); closes the previous one.
bool open(const std::wstring& path);
void close();
// Appends `line` with a single write, so lines of processes sharing the
// file do not mix; false when it was not written whole.
bool append(const std::string& line);
// UTC "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string timestamp();
unsigned long process_id();
// True when the environment variable is set; `value` gets its text.
bool environment(const char* name, std::wstring& value);
// A resolved socket address as numeric text ("127.0.0.1", "::1").
std::string numeric_address(const std::vector<unsigned char>& socket_address);
// Writes `text` to standard error when that is a terminal.
void note(const std::string& text);

}  // namespace orbl::trace_sink
