// The client socket over a channel: whole messages, time-outs and the
// factory that connects. Portable; the platform calls are in net_*.cpp.
#include <algorithm>
#include <optional>
#include <vector>

#include "components/channel.h"
#include "components/net.h"
#include "components/net_errors.h"
#include "components/serializer.h"
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

// The deadline of the call under way (see set_call_deadline).
bool call_deadline_set = false;
std::int64_t call_deadline_ms = 0;

}  // namespace

call_timeout::call_timeout() : std::runtime_error(net::call_timeout_text) {}

void set_call_deadline(int milliseconds) noexcept {
    call_deadline_set = milliseconds > 0;
    if (call_deadline_set) call_deadline_ms = net::now_ms() + milliseconds;
}

void clear_call_deadline() noexcept { call_deadline_set = false; }

int call_bounded_wait(int wait_ms) {
    if (!call_deadline_set) return wait_ms;
    const std::int64_t left = call_deadline_ms - net::now_ms();
    if (left <= 0) throw call_timeout();
    return wait_ms < 0 || wait_ms > left ? static_cast<int>(std::min<std::int64_t>(left, 0x7FFFFFFF)) : wait_ms;
}

void check_call_deadline() {
    if (call_deadline_set && call_deadline_ms - net::now_ms() <= 0) throw call_timeout();
}

namespace {

constexpr std::size_t header_size = 32;
constexpr std::size_t size_offset = 24;  // the header's data_size field

class plain_channel : public channel {
public:
    explicit plain_channel(net::handle socket) : socket_(socket) {}
    ~plain_channel() override { net::close(socket_); }

    long read(char* buffer, std::size_t size) override {
        return net::receive_some(socket_, buffer, size);
    }
    long write(const char* data, std::size_t size) override {
        return net::send_some(socket_, data, size);
    }
    // Holds no bytes of its own: the socket shows everything there is.
    bool wait(bool for_write, int timeout_ms) override {
        return net::wait(socket_, for_write, timeout_ms);
    }
    long read_within(char* buffer, std::size_t size, int timeout_ms) override {
        return net::receive_within(socket_, buffer, size, timeout_ms, kept_wait_ms_);
    }

private:
    net::handle socket_;
    int kept_wait_ms_ = -2;  // none set yet
};

// Bytes read from the channel ahead of what was asked for, so that a short
// message comes in with one read rather than one for its header and one for
// its payload. Fixed size, part of the socket: nothing grows between calls.
constexpr std::size_t read_ahead_size = 4096;

class client_socket : public IClientSocket {
public:
    client_socket(std::unique_ptr<channel> stream, std::int64_t (*clock)() noexcept)
        : stream_(std::move(stream)), clock_(clock) {}

    bool set_timeout(int kind, const int* value) override {
        if (!value || kind < timeout_kind::receive || kind > timeout_kind::send) return false;
        timeouts_[kind] = *value;
        return true;
    }

    bool receive_packet(socket_packet& packet) override {
        char header[header_size];
        // Waits before the first read: right after a request the answer is
        // not there yet, and a read bound to fail costs a system call.
        std::size_t got = read_into(header, header_size, timeout_kind::receive, true, true);
        if (got > 0 && got < header_size) {
            // The header has begun: wait for the rest of it, within a fresh
            // receive time-out. Never more than the header is handed out,
            // so nothing of what follows it is taken.
            got += read_into(header + got, header_size - got, timeout_kind::receive, false, false);
        }
        auto& buffer = packet.modify_data();
        buffer.insert(buffer.end(), header, header + got);
        if (got == header_size) {
            // Of the payload its header announces, what has already been
            // read ahead comes along (and nothing beyond it): a short reply
            // needs no second read.
            std::size_t at_hand = std::min<std::size_t>(read_u32_le(header + size_offset),
                                                        ahead_end_ - ahead_begin_);
            if (at_hand > 0) {
                buffer.insert(buffer.end(), ahead_ + ahead_begin_, ahead_ + ahead_begin_ + at_hand);
                ahead_begin_ += at_hand;
            }
        }
        return got > 0;
    }

    bool receive_tail(socket_packet& packet, std::size_t count) override {
        auto& buffer = packet.modify_data();
        std::size_t start = buffer.size();
        buffer.resize(start + count);
        std::size_t got = read_into(buffer.data() + start, count, timeout_kind::tail, false, false);
        buffer.resize(start + got);
        return got == count;
    }

    bool send_packet(const socket_packet& packet) override {
        const auto& buffer = packet.get_data();
        // The clock is read only once a write has to wait: a packet that
        // goes out at once costs no clock reading.
        time_limit limit{*this, timeout_kind::send};
        std::size_t sent = 0;
        while (sent < buffer.size()) {
            long count = stream_->write(buffer.data() + sent, buffer.size() - sent);
            if (count > 0) {
                sent += static_cast<std::size_t>(count);
            } else {
                // A wait may report the socket ready while the write still
                // finds no room: the deadline is checked whatever the wait
                // said, so that such a wait cannot repeat without end.
                int left = call_bounded_wait(limit.remaining());
                if (left == 0 || !stream_->wait(true, left)) {
                    check_call_deadline();
                    return false;
                }
            }
        }
        return true;
    }

private:
    // Reads up to `size` bytes within the time-out of `kind`, counted from
    // now; with `any`, returns as soon as something arrived; with
    // `wait_first`, waits before the first read unless bytes are already at
    // hand. End of stream throws code 0.
    std::size_t read_into(char* buffer, std::size_t size, int kind, bool any, bool wait_first) {
        // The first wait gets the whole time-out as set, so that a channel
        // that keeps its wait limit on the socket need not change it.
        int wait_ms = timeouts_[kind] > 0 ? timeouts_[kind] : -1;
        bool ready = !wait_first || ahead_begin_ < ahead_end_;
        // Counted from now; the clock is read now only when the first read
        // waits, otherwise once a read has to wait (nothing before it took
        // time), so that bytes already at hand cost no clock reading.
        time_limit limit{*this, kind};
        if (!ready) limit.start();
        std::size_t got = 0;
        while (got < size) {
            int bounded_ms = ready ? 0 : call_bounded_wait(wait_ms);
            long count = read_some(buffer + got, size - got, ready ? nullptr : &bounded_ms);
            if (count == 0) throw net::make_error(socket_code::closed_by_peer);
            if (count > 0) {
                got += static_cast<std::size_t>(count);
                if (any) break;
                ready = true;
            } else if (!ready && (wait_ms = limit.remaining()) == 0) {
                break;  // waited in vain until the deadline
            } else {
                ready = false;
                wait_ms = limit.remaining();
            }
        }
        return got;
    }

    // One read, served from the bytes read ahead first; a small request
    // reads ahead, a large one goes straight into the caller's buffer. With
    // `wait_ms`, waits up to that long for bytes (-1: no limit).
    long read_some(char* buffer, std::size_t size, const int* wait_ms) {
        if (ahead_begin_ == ahead_end_) {
            bool direct = size >= read_ahead_size;
            char* target = direct ? buffer : ahead_;
            std::size_t room = direct ? size : read_ahead_size;
            long count = wait_ms ? stream_->read_within(target, room, *wait_ms) : stream_->read(target, room);
            if (count <= 0 || direct) return count;
            ahead_begin_ = 0;
            ahead_end_ = static_cast<std::size_t>(count);
        }
        std::size_t taken = std::min(size, ahead_end_ - ahead_begin_);
        std::copy(ahead_ + ahead_begin_, ahead_ + ahead_begin_ + taken, buffer);
        ahead_begin_ += taken;
        return static_cast<long>(taken);
    }

    // The time-out of one kind, counted from start(), or from the first
    // call of remaining() when start() was not called.
    class time_limit {
    public:
        time_limit(const client_socket& socket, int kind)
            : clock_(socket.clock_), timeout_(socket.timeouts_[kind]) {}
        void start() {
            if (timeout_ > 0 && at_ < 0) at_ = clock_() + timeout_;
        }
        // Milliseconds left; -1 when there is no limit.
        int remaining() {
            if (timeout_ <= 0) return -1;
            std::int64_t now = clock_();
            if (at_ < 0) at_ = now + timeout_;
            std::int64_t left = at_ - now;
            return left > 0 ? static_cast<int>(std::min<std::int64_t>(left, 0x7FFFFFFF)) : 0;
        }

    private:
        std::int64_t (*clock_)() noexcept;
        int timeout_;
        std::int64_t at_ = -1;
    };

    std::unique_ptr<channel> stream_;
    std::int64_t (*clock_)() noexcept;
    int timeouts_[3] = {0, 0, 0};
    char ahead_[read_ahead_size];
    std::size_t ahead_begin_ = 0;
    std::size_t ahead_end_ = 0;
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

std::unique_ptr<IClientSocket> make_client_socket(std::unique_ptr<channel> stream,
                                                  std::int64_t (*clock)() noexcept) {
    return std::make_unique<client_socket>(std::move(stream), clock);
}

namespace {

// Connects to the addresses of one name as RFC 8305 does: the next address
// is tried when the attempts so far have not connected within
// connect_stagger_ms, or at once when one fails. The first connection wins
// and the other attempts are closed. Each attempt is bounded by
// connect_timeout_ms; when all fail, the failure that came last is thrown.
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

net::handle connect_any(const inet_address& address, int port) {
    connect_race race(address, port);
    return race.run();
}

}  // namespace

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

int socket_initialize_error_sys_code() {
    return net::startup_error();
}

void socket_finalize() noexcept {
    net::cleanup();
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
