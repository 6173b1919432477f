// The client socket over a channel: whole messages and their time-outs.
// Portable; the platform calls are in net_*.cpp.
#include <algorithm>
#include <vector>

#include "components/net/channel.h"
#include "components/net/net.h"
#include "components/net/net_errors.h"
#include "components/net/socket.h"
#include "components/text/serializer.h"

namespace orbl {

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

}  // namespace orbl
