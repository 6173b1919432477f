#pragma once
#include <string>

namespace quel {

// One key of quel2cln.ini: where it is, what it holds, its default and, for
// a bounded number, the bounds it is brought into. The README's table of
// settings lists these, in this order (a test holds them against it).
struct SettingKey {
    enum Kind {
        bounded,  // a number brought into [low, high]
        number,   // a number without bounds (0 or below: no limit)
        level,    // a number that must be whole, or loading fails
        text,     // taken whole; file names are made absolute
    };
    const char* section;
    const char* key;
    Kind kind;
    int fallback = 0;
    int low = 0;
    int high = 0;
};

namespace ini_key {
inline constexpr SettingKey attempts{"Connect", "Attempts", SettingKey::bounded, 3, 1, 10};
inline constexpr SettingKey pause{"Connect", "Pause", SettingKey::bounded, 3000, 0, 60000};
inline constexpr SettingKey level{"Security", "Level", SettingKey::level};
inline constexpr SettingKey cert_file{"Security", "CertFile", SettingKey::text};
inline constexpr SettingKey key_file{"Security", "KeyFile", SettingKey::text};
inline constexpr SettingKey ca_file{"Security", "CAFile", SettingKey::text};
inline constexpr SettingKey key_password{"Security", "KeyPswd", SettingKey::text};
inline constexpr SettingKey socket_timeout{"Advanced", "SocketTimeout", SettingKey::number, 1000};
inline constexpr SettingKey tail_timeout{"Advanced", "TailTimeout", SettingKey::number, 10000};
inline constexpr SettingKey trace_file{"Advanced", "TraceFile", SettingKey::text};
inline constexpr SettingKey call_timeout{"Advanced", "CallTimeout", SettingKey::number, 0};

inline constexpr const SettingKey* all[] = {&attempts,       &pause,        &level,     &cert_file,
                                            &key_file,       &ca_file,      &key_password,
                                            &socket_timeout, &tail_timeout, &trace_file,
                                            &call_timeout};
}  // namespace ini_key

// Configuration of the connection, from qm2_Init and quel2cln.ini.
struct Settings {
    std::string host = "localhost";
    int port = 85;
    int security_level = ini_key::level.fallback;
    int attempts = ini_key::attempts.fallback;
    int pause = ini_key::pause.fallback;                    // milliseconds
    int socket_timeout = ini_key::socket_timeout.fallback;  // milliseconds; 0 or below: no limit
    int tail_timeout = ini_key::tail_timeout.fallback;      // milliseconds; 0 or below: no limit
    int call_timeout = ini_key::call_timeout.fallback;      // milliseconds for a whole call; 0 or below: no limit
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
