#pragma once
// The trace: one line per event of the library's traffic, appended to the
// file the host names ([Advanced] TraceFile, or QUEL2CLN_TRACE). While it is
// off a hook costs one test of a flag: nothing is formatted and no system
// call is made. A trace that cannot be written turns itself off; it never
// changes a call's result. Never give it a password or key.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "components/socket.h"

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
// Appends "<time> <pid> <event> <details>" as one whole line.
void write(const char* event, const std::string& details);

// ` name[length]="text"`: the text escaped (\", \\, \n, \r, \t, \xHH for
// other bytes outside printable ASCII) and cut at 200 bytes, marked "...".
std::string text_field(const char* name, const std::string& value);

// " address=A,B port=P": the addresses a host name resolved to.
std::string address_fields(const orbl::inet_address& address, int port);

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
