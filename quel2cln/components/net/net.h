#pragma once
// The platform's socket calls, as the portable client socket uses them.
// One implementation per platform (net_posix.cpp, net_win32.cpp). Every
// failure is thrown as socket_error with a Windows Sockets code and a fixed
// lower-case text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "components/net/socket.h"

namespace orbl::net {

using handle = std::intptr_t;
constexpr handle invalid_handle = -1;

// TCP keep-alive on every connection: probes after this many idle seconds,
// this many seconds apart, this many unanswered before the connection fails.
constexpr int keepalive_idle_s = 30;
constexpr int keepalive_interval_s = 10;
constexpr int keepalive_count = 3;

// A connect in three steps, so that several connects can run at once.
// connect_start returns a non-blocking socket whose connect has begun (or
// already completed); a failure that is known at once is thrown.
handle connect_start(const std::vector<unsigned char>& address, int port);
// Waits up to `timeout_ms` until one of `sockets` has finished connecting,
// successfully or not: its index, or -1 when none finished in time.
int wait_connected(const std::vector<handle>& sockets, int timeout_ms);
// Throws the connect failure of a socket wait_connected reported; on
// success leaves the socket blocking (Windows: non-blocking), ready for
// receive_within and send_within, which never block beyond their wait.
void connect_finish(handle socket);
void close(handle socket) noexcept;

// Waits until `socket` is readable (or writable) or `timeout_ms` passes;
// a negative timeout waits without limit. True when ready.
bool wait(handle socket, bool for_write, int timeout_ms);

// One non-blocking receive: bytes read (> 0), 0 at end of stream, -1 when
// nothing is available now.
long receive_some(handle socket, char* buffer, std::size_t size);
// Waits up to `timeout_ms` (negative: no limit) for bytes and receives
// them: bytes read (> 0), 0 at end of stream, -1 when nothing came in time
// (or the wait was cut short). `kept_ms` is the caller's record of the wait
// last set on this socket, so that an unchanged limit costs nothing (POSIX;
// Windows bounds each receive by its own wait and keeps nothing there).
long receive_within(handle socket, char* buffer, std::size_t size, int timeout_ms, int& kept_ms);
// One non-blocking send: bytes sent (>= 0), -1 when the socket cannot take
// more now. Never raises SIGPIPE.
long send_some(handle socket, const char* data, std::size_t size);
// send_some, waiting up to `timeout_ms` (negative: no limit) for room when
// there is none now: bytes sent, or -1 when no room came in time.
long send_within(handle socket, const char* data, std::size_t size, int timeout_ms);

// Resolution; numeric_only refuses names. Throws socket_error.
inet_address resolve(const std::wstring& host, bool numeric_only);
bool is_numeric_address(const std::wstring& host);

// 0 when the system's sockets are ready (Windows: started, once, on first
// use), else the system's code; cleanup() gives the start-up back.
int startup_error() noexcept;
void cleanup() noexcept;
void sleep(int milliseconds) noexcept;
// Monotonic clock in milliseconds.
std::int64_t now_ms() noexcept;

// Builds the socket_error for a platform error code (errno or WSA code).
socket_error error_from_system(int system_code);

}  // namespace orbl::net
