#include "connection/settings.h"

#include <algorithm>
#include <climits>

#include "components/paths.h"
#include "components/profile.h"
#include "components/net_errors.h"
#include "components/socket.h"
#include "protocol/errors.h"

namespace quel {

namespace {

std::wstring resolve_path(const std::wstring& module_dir, const std::wstring& value) {
    std::wstring result;
    if (!orbl::get_absolute_path(module_dir, value, result) && !orbl::is_relative_path(value))
        throw client_error(ini_bad_path_text);
    return result;
}

// No security level has this number (they are 0, 1 and 2).
constexpr int unusable_level = INT_MIN;

// Overwrites the stored key password before the copy is released.
struct wiped_params : orbl::socket_security_param {
    ~wiped_params() { orbl::wipe(key_password); }
};

}  // namespace

void load_settings(Settings& settings, const std::string& host, int port,
                   const std::wstring& module_path) {
    settings.module_dir = orbl::extract_dir(module_path);
    settings.host = host;
    settings.port = port;
    if (orbl::socket_initialize_error_sys_code() != 0) throw client_error(orbl::net::not_initialised_text);
    // Until the file has been read in full, the level is one no connection
    // accepts: a host that calls on after a failed load must not get plain
    // TCP from the defaults, or an earlier load's files with a new server.
    settings.security_level = unusable_level;
    // Without its own directory the library would read some other
    // quel2cln.ini (the current directory's), which may turn TLS off.
    if (settings.module_dir.empty()) throw client_error(module_path_unknown_text);

    std::wstring ini_name(ini_file_name, ini_file_name + std::char_traits<char>::length(ini_file_name));
    orbl::profile ini(resolve_path(settings.module_dir, ini_name));
    if (ini.status() == orbl::file_status::unreadable) throw client_error(ini_unreadable_text);
    if (ini.status() == orbl::file_status::not_utf8) throw client_error(ini_not_utf8_text);
    settings.attempts = ini.read("Connect", "Attempts", 3);
    settings.pause = ini.read("Connect", "Pause", 3000);
    int security_level = ini.read("Security", "Level", 0);

    wiped_params security;
    security.cert_file = resolve_path(settings.module_dir, ini.read_wstr("Security", "CertFile", L""));
    security.key_file = resolve_path(settings.module_dir, ini.read_wstr("Security", "KeyFile", L""));
    security.ca_file = resolve_path(settings.module_dir, ini.read_wstr("Security", "CAFile", L""));
    security.key_password = ini.read_secret("Security", "KeyPswd");
    orbl::set_socket_security_params(security);
    settings.security_level = security_level;

    settings.socket_timeout = ini.read("Advanced", "SocketTimeout", 1000);
    settings.tail_timeout = ini.read("Advanced", "TailTimeout", 10000);
    settings.trace_file = resolve_path(settings.module_dir, ini.read_wstr("Advanced", "TraceFile", L""));

    if (settings.host.empty()) settings.host = "localhost";
    if (settings.port <= 0) settings.port = 85;
    settings.attempts = std::clamp(settings.attempts, 1, 10);
    settings.pause = std::clamp(settings.pause, 0, 60000);
}

}  // namespace quel
