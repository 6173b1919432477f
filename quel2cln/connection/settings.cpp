#include "connection/settings.h"

#include <algorithm>

#include "components/paths.h"
#include "components/profile.h"
#include "components/net_errors.h"
#include "components/socket.h"
#include "protocol/errors.h"

namespace quel {


namespace {

std::wstring resolve_path(const std::wstring& module_dir, const std::wstring& value) {
    std::wstring result;
    orbl::get_absolute_path(module_dir, value, result);
    return result;
}

// Overwrites the stored key password before the copy is released.
struct wiped_params : orbl::socket_security_param {
    ~wiped_params() { std::fill(key_password.begin(), key_password.end(), L'\0'); }
};

}  // namespace

void load_settings(Settings& settings, const std::string& host, int port,
                   const std::wstring& module_path) {
    settings.module_dir = orbl::extract_dir(module_path);
    settings.host = host;
    settings.port = port;
    if (orbl::socket_initialize_error_sys_code() != 0) throw client_error(orbl::net::not_initialised_text);

    std::wstring ini_name(ini_file_name, ini_file_name + std::char_traits<char>::length(ini_file_name));
    orbl::profile ini(resolve_path(settings.module_dir, ini_name));
    settings.attempts = ini.read("Connect", "Attempts", 3);
    settings.pause = ini.read("Connect", "Pause", 3000);
    settings.security_level = ini.read("Security", "Level", 0);

    wiped_params security;
    security.cert_file = resolve_path(settings.module_dir, ini.read_wstr("Security", "CertFile", L""));
    security.key_file = resolve_path(settings.module_dir, ini.read_wstr("Security", "KeyFile", L""));
    security.ca_file = resolve_path(settings.module_dir, ini.read_wstr("Security", "CAFile", L""));
    security.key_password = ini.read_wstr("Security", "KeyPswd", L"");
    orbl::set_socket_security_params(security);

    settings.socket_timeout = ini.read("Advanced", "SocketTimeout", 1000);
    settings.tail_timeout = ini.read("Advanced", "TailTimeout", 10000);
    settings.trace_file = resolve_path(settings.module_dir, ini.read_wstr("Advanced", "TraceFile", L""));

    if (settings.host.empty()) settings.host = "localhost";
    if (settings.port <= 0) settings.port = 85;
    settings.attempts = std::clamp(settings.attempts, 1, 10);
    settings.pause = std::clamp(settings.pause, 0, 60000);
}

}  // namespace quel
