#pragma once
#include <functional>
#include <memory>

#include "components/net/socket.h"
#include "connection/connection.h"
#include "connection/settings.h"

namespace quel {

// What connect needs of the socket layer; tests replace parts of it.
struct connect_env {
    std::function<std::unique_ptr<orbl::IClientSocket>(const orbl::inet_address&, int, int)>
        factory = orbl::IClientSocket::factory;
    std::function<void(int)> sleep = orbl::sleep_ms;
};

// Resolves the host once, then makes up to `attempts` tries, waiting `pause`
// ms before every try but the first. All tries failing throws client_error
// with the last try's socket error text; a failed resolution passes its
// socket_error through.
std::unique_ptr<Connection> connect(const Settings& settings, const connect_env& env = {});

}  // namespace quel
