// The socket factory: the connect race over the platform's sockets, then a
// plain or TLS channel under the client socket.
#include "components/connect/connect.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "components/net/channel.h"
#include "components/net/net.h"
#include "components/net/net_errors.h"
#include "components/net/socket.h"
#include "components/tls/tls.h"

namespace orbl {

namespace {

// The next address is tried when the attempts so far have not connected
// within this many milliseconds.
constexpr int connect_stagger_ms = 250;

class connect_race {
public:
    connect_race(const inet_address& address, int port) : address_(address), port_(port) {
        // Room for every attempt up front: a socket just made is never lost
        // to a failed allocation.
        sockets_.reserve(address.addresses.size());
        deadlines_.reserve(address.addresses.size());
    }
    ~connect_race() {
        for (net::handle socket : sockets_) net::close(socket);
    }
    connect_race(const connect_race&) = delete;
    connect_race& operator=(const connect_race&) = delete;

    net::handle run() {
        for (;;) {
            std::int64_t now = net::now_ms();
            if (next_ < address_.addresses.size() && (sockets_.empty() || now >= next_start_)) {
                start_next(now);
            } else if (sockets_.empty()) {
                throw *last_failure_;
            } else {
                int ready = net::wait_connected(sockets_, call_bounded_wait(wait_ms(now)));
                if (ready >= 0 && finished(static_cast<std::size_t>(ready))) return take(ready);
                if (ready < 0) drop_expired();
            }
        }
    }

private:
    void start_next(std::int64_t now) {
        try {
            net::handle socket = net::connect_start(address_.addresses[next_], port_);
            sockets_.push_back(socket);
            deadlines_.push_back(now + connect_timeout_ms);
            next_start_ = now + connect_stagger_ms;
        } catch (const socket_error& failure) {
            last_failure_ = failure;
        }
        ++next_;
    }

    // Until the earliest deadline, or the next start when one is due.
    int wait_ms(std::int64_t now) const {
        std::int64_t until = *std::min_element(deadlines_.begin(), deadlines_.end());
        if (next_ < address_.addresses.size()) until = std::min(until, next_start_);
        return static_cast<int>(std::max<std::int64_t>(until - now, 0));
    }

    // True when the attempt at `index` connected; a failed one is dropped
    // and the next address is due at once.
    bool finished(std::size_t index) {
        try {
            net::connect_finish(sockets_[index]);
            return true;
        } catch (const socket_error& failure) {
            last_failure_ = failure;
            drop(index);
            next_start_ = net::now_ms();
            return false;
        }
    }

    void drop_expired() {
        std::int64_t now = net::now_ms();
        for (std::size_t i = sockets_.size(); i-- > 0;) {
            if (deadlines_[i] > now) continue;
            last_failure_ = net::make_error(socket_code::timed_out);
            drop(i);
            next_start_ = now;
        }
    }

    void drop(std::size_t index) {
        net::close(sockets_[index]);
        sockets_.erase(sockets_.begin() + static_cast<std::ptrdiff_t>(index));
        deadlines_.erase(deadlines_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    net::handle take(int index) {
        net::handle socket = sockets_[static_cast<std::size_t>(index)];
        sockets_.erase(sockets_.begin() + index);
        return socket;
    }

    const inet_address& address_;
    int port_;
    std::vector<net::handle> sockets_;  // attempts under way, owned
    std::vector<std::int64_t> deadlines_;
    std::size_t next_ = 0;
    std::int64_t next_start_ = 0;
    std::optional<socket_error> last_failure_;
};

}  // namespace

net::handle connect_any(const inet_address& address, int port) {
    connect_race race(address, port);
    return race.run();
}

void IClientSocket::check_arguments(int port, int security_level) {
    if (port < 1 || port > 65535)
        throw socket_error(socket_code::invalid_argument, net::invalid_port_text);
    if (security_level != 0 && !is_tls_level(security_level))
        throw socket_error(socket_code::invalid_argument, net::unsupported_level_text);
}

std::unique_ptr<IClientSocket> IClientSocket::factory(const inet_address& address, int port,
                                                      int security_level) {
    check_arguments(port, security_level);
    if (address.addresses.empty()) throw net::make_error(socket_code::host_not_found);

    net::handle socket = connect_any(address, port);
    if (security_level == 0) return make_client_socket(make_plain_channel(socket));
    // The handshake has a connect limit of its own, after the TCP connect.
    int handshake_ms = connect_timeout_ms;
    try {
        handshake_ms = call_bounded_wait(connect_timeout_ms);
    } catch (...) {
        net::close(socket);
        throw;
    }
    return make_client_socket(make_tls_channel(socket, address.host, security_level, handshake_ms));
}

}  // namespace orbl
