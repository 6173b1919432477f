#pragma once
// The few platform calls the tests need: loopback sockets for the test
// server, loading a library by path, temporary directories and files.
// One implementation per platform (platform_posix.cpp, platform_win32.cpp);
// nothing else in the tests calls the operating system directly.

#include <cstddef>
#include <cstdint>
#include <string>

namespace test_platform {

using sock = std::intptr_t;
constexpr sock no_sock = -1;

// A listening TCP socket on 127.0.0.1 (on ::1 with `ipv6`) with a port
// chosen by the system; no_sock when that is not possible.
sock listen_loopback(int& port, bool ipv6 = false);
// A listening TCP socket on the numeric IPv4 address `ipv4` with the given
// backlog, on `port`, or on a port chosen by the system when `port` is 0.
sock listen_on(const char* ipv4, int& port, int backlog);
// A socket bound to a loopback port that is not listening: connects to that
// port are refused for as long as the socket stays open.
sock reserve_refusing_port(int& port);

// Waits up to `timeout_ms` for a connection; no_sock when none came.
sock accept_within(sock listener, int timeout_ms);

enum : long { recv_timed_out = -1, recv_failed = -2 };
// Bytes received (> 0), 0 at end of stream, recv_timed_out when nothing came
// within `timeout_ms`, recv_failed on a reset or any other error.
long receive_within(sock socket, char* buffer, std::size_t size, int timeout_ms);
// Sends all bytes; false when the peer has gone.
bool send_all(sock socket, const char* data, std::size_t size);

// Orderly close (FIN).
void close_socket(sock socket);
// Abortive close: the peer sees a reset (RST).
void reset_socket(sock socket);
// Ends the sending side only (FIN); the socket stays open.
void shutdown_sending(sock socket);

// CPU time this process (this thread) has used so far, in milliseconds.
std::int64_t process_cpu_ms();
std::int64_t thread_cpu_ms();
// How many descriptors (handles) this process holds open now; 0 where the
// system does not tell (Wine).
std::size_t open_handles();

// Shared libraries. Every path is in the platform's narrow encoding.
void* load_library(const std::string& path, std::string& error);
void* find_symbol(void* library, const char* name);
void unload_library(void* library);
// File name of the library as the build names it ("libquel2cln.so").
std::string library_file_name(const std::string& built_path);

std::string make_temp_dir();
void remove_tree(const std::string& dir);
bool copy_file(const std::string& from, const std::string& to);
bool write_file(const std::string& path, const std::string& contents);
std::string join_path(const std::string& dir, const std::string& name);

// A FIFO at `path`; false where the platform has none (Windows).
bool make_fifo(const std::string& path);
// Opens the FIFO at `path` for reading without waiting for a writer; -1 on
// failure. close_fd closes it.
int open_fifo_reader(const std::string& path);
void close_fd(int fd);

// Runs a command and returns what it printed on standard output; false when
// it could not be started or did not exit with 0.
bool run_command(const std::string& command, std::string& output);
// Sets (or, with null `value`, removes) an environment variable of this
// process, as the library loaded into it sees it.
void set_environment(const char* name, const char* value);

}  // namespace test_platform
