#include "connection/connect.h"

#include <string>

#include "components/text/text.h"
#include "components/trace/trace.h"
#include "protocol/errors.h"

namespace quel {

namespace {

std::unique_ptr<Connection> try_once(const Settings& settings, const orbl::inet_address& address,
                                     const connect_env& env) {
    auto socket = env.factory(address, settings.port, settings.security_level);
    socket->set_timeout(orbl::timeout_kind::receive, &settings.socket_timeout);
    socket->set_timeout(orbl::timeout_kind::send, &settings.socket_timeout);
    socket->set_timeout(orbl::timeout_kind::tail, &settings.tail_timeout);
    return std::make_unique<Connection>(std::move(socket));
}

// " host="name" address=A,B port=P": the addresses a host name resolved to.
std::string address_fields(const orbl::inet_address& address, int port) {
    std::string out = trace::text_field("host", orbl::wide_to_utf8(address.host)) + " address=";
    for (std::size_t i = 0; i < address.addresses.size(); ++i)
        out += (i > 0 ? "," : "") + orbl::trace_sink::numeric_address(address.addresses[i]);
    return out + " port=" + std::to_string(port);
}

void trace_try(const orbl::inet_address& address, int port, int code, const char* outcome,
               std::int64_t started) {
    trace::line("connect", [&] {
        return address_fields(address, port) + " code=" + std::to_string(code) +
               trace::text_field("outcome", outcome) + " ms=" + std::to_string(trace::now_ms() - started);
    });
}

}  // namespace

std::unique_ptr<Connection> connect(const Settings& settings, const connect_env& env) {
    // A port or level the socket layer never accepts fails at once, before
    // any try or pause.
    try {
        orbl::IClientSocket::check_arguments(settings.port, settings.security_level);
    } catch (const orbl::socket_error& error) {
        throw client_error(error.what());
    }
    std::wstring host;
    orbl::char_to_wide(settings.host, host, orbl::text_encoding{});
    // Resolved once for all tries; a failure here passes straight out.
    const orbl::inet_address address =
        orbl::is_valid_addr(host) ? orbl::get_host_by_addr(host) : orbl::get_host_by_name(host);

    std::string last_failure;
    for (int attempt = 0; attempt < settings.attempts; ++attempt) {
        if (attempt > 0) {
            env.sleep(orbl::call_bounded_wait(settings.pause));
            orbl::check_call_deadline();
        }
        const std::int64_t started = trace::on() ? trace::now_ms() : 0;
        try {
            auto connection = try_once(settings, address, env);
            trace_try(address, settings.port, 0, "ok", started);
            return connection;
        } catch (const orbl::socket_error& error) {
            trace_try(address, settings.port, error.code(), error.what(), started);
            last_failure = error.what();
        }
    }
    // Tries cut short by the call's deadline are reported as such.
    orbl::check_call_deadline();
    throw client_error(last_failure);
}

}  // namespace quel
