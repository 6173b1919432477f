#pragma once
// The command line of qm2: options, one command and its arguments.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm2 {

// Exit status of qm2.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;  // the operation failed: refused, no connection, ...
constexpr int exit_usage = 2;   // the command line is wrong

enum class command { exec, get_auto_inc, calc_auto_inc, save_result, lock };

struct options {
    std::string library;              // empty: default_library_path()
    std::optional<std::string> trace;  // --trace FILE: QUEL2CLN_TRACE for the library
    std::optional<std::string> host;  // unset: the library's default
    int port = 0;                     // 0: the library's default
    bool json = false;
    unsigned long repeat = 1;
    long timeout_ms = 0;  // 0: wait as long as the library does
    bool verbose = false;

    qm2::command what = command::exec;
    std::string name;                // the command as typed, e.g. "get-auto-inc"
    std::vector<std::string> texts;  // the text arguments, in order
    int lock_mode = 0;               // lock only
    std::uint32_t number = 0;        // lock only
};

// version: --version, with the options before it (--lib) parsed.
enum class parse_result { run, help, version, usage_error };

// Parses argv[1..]. On usage_error, `error` holds the reason.
parse_result parse_args(const std::vector<std::string>& args, options& out, std::string& error);

extern const char* const usage_text;

}  // namespace qm2
