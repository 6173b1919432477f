// The client socket over a channel: whole messages, time-outs and the
// factory that connects. Portable; the platform calls are in net_*.cpp.
#include <algorithm>

#include "components/channel.h"
#include "components/net.h"
#include "components/net_errors.h"
#include "components/socket.h"
#include "components/tls.h"

namespace orbl {

namespace net {

const char* text_for(int code) noexcept {
    switch (code) {
    case socket_code::closed_by_peer: return closed_by_peer_text;
    case wsa::access_denied: return access_denied_text;
    case socket_code::invalid_argument: return invalid_argument_text;
    case wsa::too_many_sockets: return too_many_sockets_text;
    case wsa::family_not_supported: return family_not_supported_text;
    case wsa::address_in_use: return address_in_use_text;
    case wsa::address_not_available: return address_not_available_text;
    case wsa::net_down: return net_down_text;
    case wsa::net_unreachable: return net_unreachable_text;
    case wsa::net_reset: return net_reset_text;
    case socket_code::connection_aborted: return connection_aborted_text;
    case socket_code::connection_reset: return connection_reset_text;
    case wsa::no_buffers: return no_buffers_text;
    case wsa::not_connected: return not_connected_text;
    case socket_code::timed_out: return timed_out_text;
    case socket_code::refused: return refused_text;
    case wsa::host_down: return host_down_text;
    case wsa::host_unreachable: return host_unreachable_text;
    case wsa::not_initialised: return not_initialised_text;
    case tls_failure: return tls_failure_text;
    case socket_code::host_not_found: return host_not_found_text;
    case wsa::try_again: return try_again_text;
    case wsa::no_recovery: return no_recovery_text;
    case wsa::no_data: return no_data_text;
    default: return socket_failure_text;
    }
}

}  // namespace net

namespace {

constexpr std::size_t header_size = 32;

class plain_channel : public channel {
public:
    explicit plain_channel(net::handle socket) : socket_(socket) {}
    ~plain_channel() override { net::close(socket_); }

    long read(char* buffer, std::size_t size) override {
        long received = net::receive_some(socket_, buffer, size);
        if (received < 0) waiting_ = want::read;
        return received;
    }
    long write(const char* data, std::size_t size) override {
        long sent = net::send_some(socket_, data, size);
        if (sent < 0) waiting_ = want::write;
        return sent;
    }
    want waiting_for() const override { return waiting_; }
    net::handle handle() const override { return socket_; }

private:
    net::handle socket_;
    want waiting_ = want::none;
};

// Milliseconds left until `deadline`; -1 (no limit) for a deadline of -1.
int remaining(std::int64_t deadline) {
    if (deadline < 0) return -1;
    std::int64_t left = deadline - net::now_ms();
    return left > 0 ? static_cast<int>(std::min<std::int64_t>(left, 0x7FFFFFFF)) : 0;
}

std::int64_t deadline_after(int timeout_ms) {
    return timeout_ms > 0 ? net::now_ms() + timeout_ms : -1;
}

class client_socket : public IClientSocket {
public:
    explicit client_socket(std::unique_ptr<channel> stream) : stream_(std::move(stream)) {}

    bool set_timeout(int kind, const int* value) override {
        if (!value || kind < timeout_kind::receive || kind > timeout_kind::send) return false;
        timeouts_[kind] = *value;
        return true;
    }

    bool receive_packet(socket_packet& packet) override {
        auto& buffer = packet.modify_data();
        std::size_t start = buffer.size();
        buffer.resize(start + header_size);
        std::size_t got = read_into(buffer.data() + start, header_size,
                                    deadline_after(timeouts_[timeout_kind::receive]), true);
        if (got > 0 && got < header_size) {
            // The header has begun: wait for the rest of it, within a fresh
            // receive time-out. Reading exactly the header never takes a
            // byte of what follows it.
            got += read_into(buffer.data() + start + got, header_size - got,
                             deadline_after(timeouts_[timeout_kind::receive]), false);
        }
        buffer.resize(start + got);
        return got > 0;
    }

    bool receive_tail(socket_packet& packet, std::size_t count) override {
        auto& buffer = packet.modify_data();
        std::size_t start = buffer.size();
        buffer.resize(start + count);
        std::size_t got =
            read_into(buffer.data() + start, count, deadline_after(timeouts_[timeout_kind::tail]), false);
        buffer.resize(start + got);
        return got == count;
    }

    bool send_packet(const socket_packet& packet) override {
        const auto& buffer = packet.get_data();
        std::int64_t deadline = deadline_after(timeouts_[timeout_kind::send]);
        std::size_t sent = 0;
        while (sent < buffer.size()) {
            long count = stream_->write(buffer.data() + sent, buffer.size() - sent);
            if (count > 0) {
                sent += static_cast<std::size_t>(count);
            } else if (!wait_for_stream(deadline)) {
                return false;
            }
        }
        return true;
    }

private:
    // Reads up to `size` bytes before `deadline`; with `any`, returns as soon
    // as something arrived. End of stream throws code 0.
    std::size_t read_into(char* buffer, std::size_t size, std::int64_t deadline, bool any) {
        std::size_t got = 0;
        while (got < size) {
            long count = stream_->read(buffer + got, size - got);
            if (count == 0) throw net::make_error(socket_code::closed_by_peer);
            if (count > 0) {
                got += static_cast<std::size_t>(count);
                if (any) break;
            } else if (!wait_for_stream(deadline)) {
                break;
            }
        }
        return got;
    }

    bool wait_for_stream(std::int64_t deadline) {
        bool for_write = stream_->waiting_for() == channel::want::write;
        return net::wait(stream_->handle(), for_write, remaining(deadline));
    }

    std::unique_ptr<channel> stream_;
    int timeouts_[3] = {0, 0, 0};
};

}  // namespace

std::unique_ptr<channel> make_plain_channel(net::handle socket) {
    try {
        return std::make_unique<plain_channel>(socket);
    } catch (...) {
        net::close(socket);  // not owned by a channel yet
        throw;
    }
}

namespace {

// A socket connected to the first address that accepts; the last address's
// failure is the one reported.
net::handle connect_any(const inet_address& address, int port) {
    for (std::size_t i = 0;; ++i) {
        try {
            return net::connect_to(address.addresses[i], port, connect_timeout_ms);
        } catch (const socket_error&) {
            if (i + 1 == address.addresses.size()) throw;
        }
    }
}

}  // namespace

std::unique_ptr<IClientSocket> IClientSocket::factory(const inet_address& address, int port,
                                                      int security_level) {
    if (port < 1 || port > 65535)
        throw socket_error(socket_code::invalid_argument, net::invalid_port_text);
    if (security_level != 0 && !is_tls_level(security_level))
        throw socket_error(socket_code::invalid_argument, net::unsupported_level_text);
    if (address.addresses.empty()) throw net::make_error(socket_code::host_not_found);

    net::handle socket = connect_any(address, port);
    if (security_level == 0) return std::make_unique<client_socket>(make_plain_channel(socket));
    // The handshake has a connect limit of its own, after the TCP connect.
    return std::make_unique<client_socket>(
        make_tls_channel(socket, address.host, security_level, connect_timeout_ms));
}

int socket_initialize_error_sys_code() {
    return net::startup_error();
}

bool is_valid_addr(const std::wstring& host) {
    return net::is_numeric_address(host);
}

inet_address get_host_by_addr(const std::wstring& host) {
    return net::resolve(host, true);
}

inet_address get_host_by_name(const std::wstring& host) {
    return net::resolve(host, false);
}

void sleep_ms(int milliseconds) {
    net::sleep(milliseconds);
}

}  // namespace orbl
