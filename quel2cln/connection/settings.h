#pragma once
#include <string>

namespace quel {

// Configuration of the connection, from qm2_Init and quel2cln.ini.
struct Settings {
    std::string host = "localhost";
    int port = 85;
    int security_level = 0;
    int attempts = 3;         // 1 to 10 after loading
    int pause = 3000;         // milliseconds, 0 to 60000 after loading
    int socket_timeout = 1000;  // milliseconds; 0 or below: no limit
    int tail_timeout = 10000;   // milliseconds; 0 or below: no limit
    int call_timeout = 0;       // milliseconds for a whole call; 0 or below: no limit
    std::wstring module_dir;
    std::wstring trace_file;  // absolute; empty: no trace
};

inline constexpr char ini_file_name[] = "quel2cln.ini";

// Records host and port, reads quel2cln.ini from the directory of
// `module_path`, starts the trace it names (QUEL2CLN_TRACE first), hands the
// security settings to the socket layer and bounds the values. Sections and
// keys it does not know get a warning line in the trace. Throws client_error
// "sockets not initialized" when the socket layer did not start (host, port
// and module_dir are then already stored), "cannot find the library's own
// path" when `module_path` has no directory, "cannot read quel2cln.ini" when
// the file exists but cannot be read (its defaults could turn TLS off), the
// level text when [Security] Level is there but not a whole number, and the
// path text for a file name that depends on the current drive ("\ca.pem",
// "C:ca.pem" on Windows). After a failure the security level is one no
// connection accepts.
void load_settings(Settings& settings, const std::string& host, int port,
                   const std::wstring& module_path);

}  // namespace quel
