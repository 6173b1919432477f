#include "connection/settings.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "components/files/paths.h"
#include "components/files/profile.h"
#include "components/net/net_errors.h"
#include "components/net/socket.h"
#include "components/text/text.h"
#include "components/trace/trace.h"
#include "protocol/errors.h"

namespace quel {

namespace {

// No security level has this number (they are 0, 1 and 2).
constexpr int unusable_level = INT_MIN;

// Overwrites the stored key password before the copy is released.
struct wiped_params : orbl::socket_security_param {
    ~wiped_params() { orbl::wipe(key_password); }
};

// A number of the file, its default when absent or not a whole number, and
// brought into its bounds when it has them.
int read_number(const orbl::profile& file, const SettingKey& key) {
    const int value = file.read(key.section, key.key, key.fallback);
    return key.kind == SettingKey::bounded ? std::clamp(value, key.low, key.high) : value;
}

class settings_file {
public:
    explicit settings_file(const std::wstring& module_dir) : dir_(module_dir) {}

    // Opens the file beside the module; throws when it exists but cannot be
    // read.
    void open() {
        std::wstring name(ini_file_name, ini_file_name + std::char_traits<char>::length(ini_file_name));
        std::wstring path;
        orbl::get_absolute_path(dir_, name, path);
        ini_ = orbl::profile(path);
        if (ini_.status() == orbl::file_status::unreadable) {
            trace::file_failure(ini_unreadable_text, path, ini_.os_error());
            throw client_error(ini_unreadable_text);
        }
        if (ini_.status() == orbl::file_status::not_utf8) {
            trace::file_failure(ini_not_utf8_text, path, 0);
            throw client_error(ini_not_utf8_text);
        }
    }

    const orbl::profile& ini() const { return ini_; }

    // A file name of the settings made absolute against the module's
    // directory; false for one that depends on the current drive.
    bool path(const SettingKey& key, std::wstring& out) const {
        return orbl::get_absolute_path(dir_, ini_.read_wstr(key.section, key.key, L""), out) ||
               orbl::is_relative_path(out);
    }
    std::wstring path_or_fail(const SettingKey& key) const {
        std::wstring out;
        if (!path(key, out)) fail(key, ini_bad_path_text);
        return out;
    }

    [[noreturn]] void fail(const SettingKey& key, const char* text) const {
        trace::line("invalid-setting", [&] {
            return std::string(" section=") + key.section + " key=" + key.key +
                   " line=" + std::to_string(ini_.line_of(key.section, key.key));
        });
        throw client_error(text);
    }

    void warn_unknown() const {
        if (!trace::on()) return;
        std::vector<std::pair<std::string, std::string>> known;
        for (const SettingKey* key : ini_key::all) known.emplace_back(key->section, key->key);
        for (const auto& name : ini_.unknown(known)) {
            trace::line("warning", [&] {
                return std::string(name.key.empty() ? " unknown section" : " unknown key") +
                       " line=" + std::to_string(name.line) + trace::text_field("section", name.section) +
                       (name.key.empty() ? std::string() : trace::text_field("key", name.key));
            });
        }
    }

private:
    std::wstring dir_;
    orbl::profile ini_{std::wstring()};
};

}  // namespace

void load_settings(Settings& settings, const std::string& host, int port,
                   const std::wstring& module_path) {
    settings.module_dir = orbl::extract_dir(module_path);
    settings.host = host.empty() ? "localhost" : host;
    settings.port = port <= 0 ? 85 : port;
    // Until the file has been read in full, the level is one no connection
    // accepts: a host that calls on after a failed load must not get plain
    // TCP from the defaults, or an earlier load's files with a new server.
    settings.security_level = unusable_level;
    // Until the file names a trace, only QUEL2CLN_TRACE gets what fails.
    trace::start(trace::choose_file(std::wstring()));
    if (orbl::socket_initialize_error_sys_code() != 0) throw client_error(orbl::net::not_initialised_text);
    // Without its own directory the library would read some other
    // quel2cln.ini (the current directory's), which may turn TLS off.
    if (settings.module_dir.empty()) throw client_error(module_path_unknown_text);

    settings_file file(settings.module_dir);
    file.open();
    const orbl::profile& ini = file.ini();
    std::wstring trace_file;
    const bool trace_path_ok = file.path(ini_key::trace_file, trace_file);
    if (!trace::named_by_environment() && trace_path_ok) trace::start(trace_file);
    file.warn_unknown();

    settings.attempts = read_number(ini, ini_key::attempts);
    settings.pause = read_number(ini, ini_key::pause);
    // The level is never guessed: a value that is not a whole number could
    // only fall back to plain TCP.
    int security_level = 0;
    if (ini.read_number(ini_key::level.section, ini_key::level.key, security_level) == orbl::number_status::invalid)
        file.fail(ini_key::level, invalid_level_text);

    wiped_params security;
    security.cert_file = file.path_or_fail(ini_key::cert_file);
    security.key_file = file.path_or_fail(ini_key::key_file);
    security.ca_file = file.path_or_fail(ini_key::ca_file);
    security.key_password = ini.read_secret(ini_key::key_password.section, ini_key::key_password.key);
    if (!trace_path_ok) file.fail(ini_key::trace_file, ini_bad_path_text);
    settings.trace_file = trace_file;
    orbl::set_socket_security_params(security);
    settings.security_level = security_level;

    settings.socket_timeout = read_number(ini, ini_key::socket_timeout);
    settings.tail_timeout = read_number(ini, ini_key::tail_timeout);
    settings.call_timeout = read_number(ini, ini_key::call_timeout);
}

}  // namespace quel
