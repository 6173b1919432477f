#include "support/net_connect.h"

#include "components/net/net_errors.h"

namespace qtest {

orbl::net::handle connect_to(const std::vector<unsigned char>& address, int port, int timeout_ms) {
    namespace net = orbl::net;
    net::handle socket = net::connect_start(address, port);
    try {
        if (net::wait_connected({socket}, timeout_ms) < 0)
            throw net::make_error(orbl::socket_code::timed_out);
        net::connect_finish(socket);
    } catch (...) {
        net::close(socket);
        throw;
    }
    return socket;
}

}  // namespace qtest
