// The reply path, from the socket to the host's buffers. The input is a
// script: first the calls to make (operation, lock mode, buffer length), then
// the events the sockets meet, in order: deliveries of bytes (whole headers
// or split tails), time-outs, end of stream, socket errors, failed sends and
// failed connects. Each call runs in the call frame the exports use, with
// retries and reconnects, against a fresh scripted socket per connection.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "exports/client_context.h"
#include "operations/text_buffer.h"

namespace {

struct event {
    enum kind { bytes, nothing, error, send_fails, send_throws, connect_fails } what;
    std::string data;
    int code = 0;
};

// Reads the input front to back; past its end every read gives zero.
class input {
public:
    input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string take(std::size_t count) {
        count = std::min(count, size_ - std::min(pos_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + pos_), count);
        pos_ += count;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

int code_of(std::uint8_t b) {
    static const int codes[] = {0, 10053, 10054, 10060, 10061, 10022, 11001, 10065};
    return codes[b % 8];
}

struct script {
    std::deque<event> events;

    bool front_is(event::kind k) const { return !events.empty() && events.front().what == k; }
};

class scripted_socket : public orbl::IClientSocket {
public:
    explicit scripted_socket(script& s) : s_(s) {}

    bool set_timeout(int, const int*) override { return true; }

    bool receive_packet(orbl::socket_packet& packet) override {
        // The end of the script is the end of the stream.
        if (s_.events.empty()) throw orbl::socket_error(0, "connection closed by peer");
        event e = std::move(s_.events.front());
        s_.events.pop_front();
        if (e.what == event::error) throw orbl::socket_error(e.code, "socket error");
        if (e.what != event::bytes) return false;
        auto& data = packet.modify_data();
        data.insert(data.end(), e.data.begin(), e.data.end());
        return true;
    }

    // Takes chunks until `count` bytes are in; a chunk's surplus stays for
    // the next read, a time-out leaves what came so far in the packet.
    bool receive_tail(orbl::socket_packet& packet, std::size_t count) override {
        auto& data = packet.modify_data();
        while (count > 0) {
            if (s_.events.empty()) throw orbl::socket_error(0, "connection closed by peer");
            event& e = s_.events.front();
            if (e.what == event::error) {
                int code = e.code;
                s_.events.pop_front();
                throw orbl::socket_error(code, "socket error");
            }
            if (e.what != event::bytes) {
                s_.events.pop_front();
                return false;
            }
            std::size_t n = std::min(count, e.data.size());
            data.insert(data.end(), e.data.begin(), e.data.begin() + n);
            e.data.erase(0, n);
            count -= n;
            if (e.data.empty()) s_.events.pop_front();
        }
        return true;
    }

    bool send_packet(const orbl::socket_packet&) override {
        if (s_.front_is(event::send_fails)) {
            s_.events.pop_front();
            return false;
        }
        if (s_.front_is(event::send_throws)) {
            s_.events.pop_front();
            throw orbl::socket_error(10054, "connection reset by peer");
        }
        return true;
    }

private:
    script& s_;
};

struct call {
    int op = 0;
    int lock_mode = 0;
    unsigned int text_len = 0;
    bool null_outputs = false;
};

// Every host buffer is allocated at its exact size, so a write past it is
// caught.
bool run(quel::ClientContext& context, const call& c) {
    std::vector<char> reply_text(c.text_len + 1, 'x');
    bool no_value = false, lock_result = false;
    unsigned int value = 0;
    bool* nv = c.null_outputs ? nullptr : &no_value;
    bool* lr = c.null_outputs ? nullptr : &lock_result;
    unsigned int* v = c.null_outputs ? nullptr : &value;
    char* rt = c.null_outputs ? nullptr : reply_text.data();
    bool ok = context.run_call([&] {
        quel::Connection& connection = context.ensure_connection();
        switch (c.op) {
        case 0: connection.exec_sql("a", "b", "c"); break;
        case 1: connection.get_auto_inc("a", "b", "c", nv, v); break;
        case 2: connection.calc_auto_inc("a", "b", "c", "id:1, code:2", v); break;
        case 3: connection.save_result("a", "b", "c", "d", "e"); break;
        default:
            connection.lock("a", "b", c.lock_mode, "d", 7, lr, rt, c.text_len);
            break;
        }
    });
    // A text handed back is always terminated inside the buffer.
    if (ok && c.op == 4 && c.lock_mode == 0 && rt && !lock_result &&
        std::memchr(reply_text.data(), '\0', reply_text.size()) == nullptr)
        std::abort();
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input in(data, size);
    std::vector<call> calls(1 + in.byte() % 4);
    for (call& c : calls) {
        std::uint8_t op = in.byte();
        c.op = op % 5;
        c.lock_mode = static_cast<int>((op / 5) % 4) - 1;  // -1 to 2; 2 is refused
        c.null_outputs = (op & 0x80) != 0;
        c.text_len = in.byte();
    }
    script s;
    while (!in.done()) {
        std::uint8_t k = in.byte();
        event e{event::nothing, {}, 0};
        switch (k % 8) {
        case 0:
        case 1: {
            e.what = event::bytes;
            std::size_t length = in.byte();
            length |= static_cast<std::size_t>(in.byte()) << 8;
            e.data = in.take(length);
            break;
        }
        case 2: e.what = event::nothing; break;
        case 3: e.what = event::error; e.code = code_of(k >> 3); break;
        case 4: e.what = event::send_fails; break;
        case 5: e.what = event::send_throws; break;
        case 6: e.what = event::connect_fails; e.code = code_of(k >> 3); break;
        default: {
            // A whole header announcing the rest of the input's next bytes.
            e.what = event::bytes;
            std::uint8_t type = in.byte();
            std::uint32_t length = in.byte();
            e.data = std::string("QUELMAR21001", 12) + std::string(8, '\0');
            e.data += static_cast<char>(type % 9);
            e.data += std::string(3, '\0');
            for (int i = 0; i < 4; ++i) e.data += static_cast<char>((length >> (8 * i)) & 0xFF);
            e.data += std::string(4, '\0');
            break;
        }
        }
        s.events.push_back(std::move(e));
    }

    quel::ClientContext context;
    context.settings.host = "127.0.0.1";
    context.settings.attempts = 3;
    context.settings.pause = 0;
    context.env.sleep = [](int) {};
    context.env.factory = [&s](const orbl::inet_address&, int, int) -> std::unique_ptr<orbl::IClientSocket> {
        if (s.front_is(event::connect_fails)) {
            int code = s.events.front().code;
            s.events.pop_front();
            throw orbl::socket_error(code, "connect failed");
        }
        return std::make_unique<scripted_socket>(s);
    };

    for (const call& c : calls) {
        bool ok = run(context, c);
        // A failure always leaves a text, a success never does.
        if (ok == static_cast<bool>(context.last_error)) std::abort();
        if (!ok) {
            std::vector<char> text(c.text_len + 1);
            quel::copy_text(*context.last_error, text.data(), c.text_len);
        }
    }
    return 0;
}
