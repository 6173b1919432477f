#include "exports/client_context.h"

#include <cstring>

#include "components/files/paths.h"
#include "components/text/text.h"
#include "components/tls/tls.h"
#include "components/trace/trace.h"
#include "quel2cln_version.h"

namespace quel {

ClientContext::~ClientContext() { trace::stop(); }

void ClientContext::set_last_error(const char* text) noexcept {
    try {
        set_last_error(std::string(text));
    } catch (...) {
        last_error.reset();
    }
}

void ClientContext::set_last_error(std::string&& text) noexcept {
    try {
        text.resize(std::strlen(text.c_str()));
        last_error = std::make_unique<std::string>(std::move(text));
        trace::line("failure", [&] { return trace::text_field("error", *last_error); });
    } catch (...) {
        // Out of memory: no text can be kept; the false result still stands.
        last_error.reset();
    }
}

bool ClientContext::retry_after_socket_error(int attempt, const orbl::socket_error& error) noexcept {
    int code = error.code();
    bool broken_connection = code == orbl::socket_code::closed_by_peer ||
                             code == orbl::socket_code::connection_aborted ||
                             code == orbl::socket_code::connection_reset;
    if (attempt < settings.attempts && broken_connection) {
        trace_retry(attempt, error);
        drop_connection();
        return true;
    }
    try {
        set_last_error(("(" + std::to_string(code) + ") " + error.what()).c_str());
    } catch (...) {
        set_last_error(error.what());
    }
    drop_connection();
    return false;
}

void ClientContext::load_settings(const std::string& host, int port) {
    // What the open connection was made with. A connection to anything else
    // than the host now names is closed: the next call connects anew. A
    // failed load closes it too, since the settings it was made with are no
    // longer the host's.
    const std::string old_host = settings.host;
    const int old_port = settings.port;
    const int old_level = settings.security_level;
    const std::uint64_t old_security = orbl::socket_security_params_changes();
    try {
        quel::load_settings(settings, host, port, orbl::own_module_path());
    } catch (...) {
        drop_connection();
        throw;
    }
    if (settings.host != old_host || settings.port != old_port ||
        settings.security_level != old_level || orbl::socket_security_params_changes() != old_security)
        drop_connection();
    trace_init();
}

void ClientContext::trace_init() const {
    trace::line("init", [this] {
        const Settings& s = settings;
        return trace::text_field("host", s.host) + " port=" + std::to_string(s.port) +
               " level=" + std::to_string(s.security_level) + " attempts=" + std::to_string(s.attempts) +
               " pause=" + std::to_string(s.pause) + " socket_timeout=" + std::to_string(s.socket_timeout) +
               " tail_timeout=" + std::to_string(s.tail_timeout) +
               " call_timeout=" + std::to_string(s.call_timeout) +
               trace::text_field("directory", orbl::wide_to_utf8(s.module_dir)) +
               " version=" QUEL2CLN_VERSION " openssl=" + orbl::tls_library_version();
    });
}

void ClientContext::trace_retry(int attempt, const orbl::socket_error& error) const {
    trace::line("retry", [&] {
        return " resend=" + std::to_string(attempt + 1) + " of=" + std::to_string(settings.attempts) +
               " code=" + std::to_string(error.code()) + trace::text_field("reason", error.what());
    });
}

Connection& ClientContext::ensure_connection() {
    if (connection && !connection->in_step()) drop_connection();
    if (!connection) connection = connect(settings, env);
    return *connection;
}

}  // namespace quel
