#include "connection/connect.h"

#include <string>

#include "components/text.h"
#include "components/trace.h"
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

void trace_try(const orbl::inet_address& address, int port, const std::string& outcome,
               std::int64_t started) {
    trace::write("connect", trace::address_fields(address, port) + trace::text_field("outcome", outcome) +
                                " ms=" + std::to_string(trace::now_ms() - started));
}

}  // namespace

std::unique_ptr<Connection> connect(const Settings& settings, const connect_env& env) {
    std::wstring host;
    orbl::char_to_wide(settings.host, host, orbl::text_encoding{});
    // Resolved once for all tries; a failure here passes straight out.
    const orbl::inet_address address =
        orbl::is_valid_addr(host) ? orbl::get_host_by_addr(host) : orbl::get_host_by_name(host);

    std::string last_failure;
    for (int attempt = 0; attempt < settings.attempts; ++attempt) {
        if (attempt > 0) env.sleep(settings.pause);
        const std::int64_t started = trace::on() ? trace::now_ms() : 0;
        try {
            auto connection = try_once(settings, address, env);
            if (trace::on()) trace_try(address, settings.port, "ok", started);
            return connection;
        } catch (const orbl::socket_error& error) {
            last_failure = error.what();
            if (trace::on()) trace_try(address, settings.port, last_failure, started);
        }
    }
    throw client_error(last_failure);
}

}  // namespace quel
