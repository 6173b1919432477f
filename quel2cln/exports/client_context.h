#pragma once
#include <exception>
#include <memory>
#include <string>

#include "components/net/socket.h"
#include "connection/connect.h"
#include "connection/connection.h"
#include "connection/settings.h"
#include "protocol/errors.h"

namespace quel {

// The one process-wide state of the library: the last error text, the
// settings and the open connection. Not guarded: the host must not call the
// exports from two threads at once.
class ClientContext {
public:
    ClientContext() = default;
    // The library is unloaded: the trace file is closed with it.
    ~ClientContext();
    ClientContext(const ClientContext&) = delete;
    ClientContext& operator=(const ClientContext&) = delete;

    void clear_last_error() noexcept { last_error.reset(); }
    // Builds the kept text in place: one copy, and no allocation outside the
    // guard (a failure to allocate must not escape a call frame).
    void set_last_error(const char* text) noexcept;
    // As above, taking the text (up to its first zero byte, as a C text).
    void set_last_error(std::string&& text) noexcept;
    void drop_connection() noexcept { connection.reset(); }
    // After a socket error: true (connection dropped) when the call should
    // run again; false with the last error set to "(code) text" otherwise.
    bool retry_after_socket_error(int attempt, const orbl::socket_error& error) noexcept;

    void load_settings(const std::string& host, int port);
    // Connects when there is no connection, or when the one there is has
    // fallen out of step with the server.
    Connection& ensure_connection();

    // The call frame around one export: runs `attempt_once` after clearing
    // the last error, runs it again after a broken connection while tries
    // remain, and turns every failure into false plus a last error text.
    // `attempt_once` reads the host's texts and, for an operation, calls
    // ensure_connection() itself, so that every try starts afresh.
    template <typename Try>
    bool run_call(Try&& attempt_once) noexcept;

    void trace_init() const;
    void trace_retry(int attempt, const orbl::socket_error& error) const;

    std::unique_ptr<std::string> last_error;
    Settings settings;
    std::unique_ptr<Connection> connection;
    connect_env env;
};

template <typename Try>
bool ClientContext::run_call(Try&& attempt_once) noexcept {
    // CallTimeout bounds the whole call, resends included.
    struct deadline {
        explicit deadline(int ms) noexcept { orbl::set_call_deadline(ms); }
        ~deadline() { orbl::clear_call_deadline(); }
    } bound(settings.call_timeout);
    for (int attempt = 0;; ++attempt) {
        try {
            clear_last_error();
            attempt_once();
            return true;
        } catch (const orbl::socket_error& error) {
            if (!retry_after_socket_error(attempt, error)) return false;
        } catch (const orbl::call_timeout& error) {
            // The exchange stopped at an unknown point: the connection is
            // out of step.
            drop_connection();
            set_last_error(error.what());
            return false;
        } catch (client_error& error) {
            set_last_error(std::move(error.text()));
            return false;
        } catch (const std::exception& error) {
            set_last_error(error.what());
            return false;
        } catch (...) {
            set_last_error(unknown_error_text);
            return false;
        }
    }
}

}  // namespace quel
