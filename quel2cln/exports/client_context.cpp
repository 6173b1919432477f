#include "exports/client_context.h"

#include "components/paths.h"

namespace quel {

const char* const unknown_error_text = "unknown";

void ClientContext::set_last_error(const char* text) noexcept {
    try {
        last_error = std::make_unique<std::string>(text);
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
    quel::load_settings(settings, host, port, orbl::own_module_path());
}

Connection& ClientContext::ensure_connection() {
    if (connection && !connection->in_step()) drop_connection();
    if (!connection) connection = connect(settings, env);
    return *connection;
}

}  // namespace quel
