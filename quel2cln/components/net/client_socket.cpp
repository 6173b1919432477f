// The client socket over a channel: whole messages, time-outs and the
// factory that connects. Portable; the platform calls are in net_*.cpp.
#include <algorithm>
#include <optional>
#include <vector>

#include "components/net/channel.h"
#include "components/net/net.h"
#include "components/net/net_errors.h"
#include "components/text/serializer.h"
#include "components/net/socket.h"
#include "components/tls/tls.h"

namespace orbl {

namespace net {

long send_within(handle socket, const char* data, std::size_t size, int timeout_ms) {
    long sent = send_some(socket, data, size);
    if (sent >= 0 || timeout_ms == 0 || !wait(socket, true, timeout_ms)) return sent;
    return send_some(socket, data, size);
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

constexpr std::size_t header_size = packet_header_size;
constexpr std::size_t size_offset = 24;  // the header's data_size field

class plain_channel : public channel {
public:
    explicit plain_channel(net::handle socket) : socket_(socket) {}
    ~plain_channel() override { net::close(socket_); }

    // Holds no bytes of its own: the socket shows everything there is.
    long read(char* buffer, std::size_t size, int wait_ms) override {
        return net::receive_within(socket_, buffer, size, wait_ms, kept_wait_ms_);
    }
    long write(const char* data, std::size_t size, int wait_ms) override {
        return net::send_within(socket_, data, size, wait_ms);
    }

private:
    net::handle socket_;
    int kept_wait_ms_ = -2;  // none set yet
};

// Bytes read from the channel ahead of what was asked for, so that a short
// message comes in with one read rather than one for its header and one for
// its payload. Fixed size, part of the socket: nothing grows between calls.
class read_ahead {
public:
    static constexpr std::size_t capacity = 4096;

    std::size_t held() const { return end_ - begin_; }
    const char* data() const { return bytes_ + begin_; }
    // Hands out up to `size` held bytes into `buffer`: how many.
    std::size_t take(char* buffer, std::size_t size) {
        std::size_t taken = std::min(size, held());
        std::copy(data(), data() + taken, buffer);
        begin_ += taken;
        return taken;
    }
    // One read of `source` into the empty store; as channel::read.
    long fill(channel& source, int wait_ms) {
        long count = source.read(bytes_, capacity, wait_ms);
        begin_ = 0;
        end_ = count > 0 ? static_cast<std::size_t>(count) : 0;
        return count;
    }

private:
    char bytes_[capacity];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// How read_into ends: with `first_bytes` as soon as something arrived, with
// `all` once every byte asked for arrived (or the time-out ran out).
enum class read_mode { first_bytes, all };

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
        std::size_t got = read_into(header, header_size, timeout_kind::receive, read_mode::first_bytes);
        if (got > 0 && got < header_size) {
            // The header has begun: wait for the rest of it, within a fresh
            // receive time-out. Never more than the header is handed out,
            // so nothing of what follows it is taken.
            got += read_into(header + got, header_size - got, timeout_kind::receive, read_mode::all);
        }
        auto& buffer = packet.modify_data();
        buffer.insert(buffer.end(), header, header + got);
        if (got == header_size) {
            // Of the payload its header announces, what has already been
            // read ahead comes along (and nothing beyond it): a short reply
            // needs no second read.
            std::size_t at_hand = std::min<std::size_t>(read_u32_le(header + size_offset), ahead_.held());
            if (at_hand > 0) {
                std::size_t start = buffer.size();
                buffer.resize(start + at_hand);
                ahead_.take(buffer.data() + start, at_hand);
            }
        }
        return got > 0;
    }

    bool receive_tail(socket_packet& packet, std::size_t count) override {
        auto& buffer = packet.modify_data();
        std::size_t start = buffer.size();
        buffer.resize(start + count);
        std::size_t got = read_into(buffer.data() + start, count, timeout_kind::tail, read_mode::all);
        buffer.resize(start + got);
        return got == count;
    }

    bool send_packet(const socket_packet& packet) override {
        const auto& buffer = packet.get_data();
        // The first write takes what room there is without waiting, so a
        // packet that goes out at once costs no clock reading; the send
        // time-out counts from then.
        long count = stream_->write(buffer.data(), buffer.size(), 0);
        std::size_t sent = count > 0 ? static_cast<std::size_t>(count) : 0;
        time_limit limit{*this, timeout_kind::send};
        while (sent < buffer.size()) {
            // A wait may end with no room found (a channel may report the
            // socket ready while the write still finds none): the deadline
            // is checked before every write, so no such wait can repeat
            // without end.
            int left = limit.remaining();
            if (left == 0) {
                check_call_deadline();
                return false;
            }
            count = stream_->write(buffer.data() + sent, buffer.size() - sent, call_bounded_wait(left));
            if (count > 0) sent += static_cast<std::size_t>(count);
        }
        return true;
    }

private:
    // Reads up to `size` bytes within the time-out of `kind`, counted from
    // now, ending as `mode` says. End of stream throws code 0.
    std::size_t read_into(char* buffer, std::size_t size, int kind, read_mode mode) {
        time_limit limit{*this, kind};
        limit.start();
        // The first read may wait the whole time-out as set, so that a
        // channel that keeps its wait limit on the socket need not change
        // it. Once bytes came, the next read takes what is at hand without
        // waiting; only a read that found nothing is followed by a wait for
        // the time that is left (never the whole time-out again, also when
        // a signal cut the wait short).
        int wait_ms = timeouts_[kind] > 0 ? timeouts_[kind] : -1;
        std::size_t got = 0;
        while (got < size) {
            long count = read_some(buffer + got, size - got, wait_ms == 0 ? 0 : call_bounded_wait(wait_ms));
            if (count == 0) throw net::make_error(socket_code::closed_by_peer);
            if (count > 0) {
                got += static_cast<std::size_t>(count);
                if (mode == read_mode::first_bytes) break;
                wait_ms = 0;
            } else if ((wait_ms = limit.remaining()) == 0) {
                break;  // the time-out ran out
            }
        }
        return got;
    }

    // One read, served from the bytes read ahead first; a small request
    // reads ahead, a large one goes straight into the caller's buffer.
    long read_some(char* buffer, std::size_t size, int wait_ms) {
        if (ahead_.held() == 0) {
            if (size >= read_ahead::capacity) return stream_->read(buffer, size, wait_ms);
            long count = ahead_.fill(*stream_, wait_ms);
            if (count <= 0) return count;
        }
        return static_cast<long>(ahead_.take(buffer, size));
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
    read_ahead ahead_;
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
