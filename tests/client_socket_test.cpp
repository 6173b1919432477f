// The client socket over an in-memory channel and clock: framing, time-outs
// and partial writes, with no socket and no real waiting.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "components/net/channel.h"
#include "components/net/socket.h"
#include "support/test_server.h"

namespace {

std::int64_t now_ms = 0;
std::int64_t fake_clock() noexcept { return now_ms; }

// Bytes arrive at set times; a read that may wait moves the clock to the
// next arrival, or by its whole wait when nothing arrives within it. Each
// write takes what the next `accept` entry allows (0: no room); a write
// that may wait finds room after `write_delay` ms and then takes the entry
// after it.
struct Script {
    struct Arrival {
        std::int64_t at;
        std::string bytes;  // empty: end of stream
    };
    std::deque<Arrival> arrivals;
    std::deque<long> accept;
    int write_delay = 0;
    bool write_wait_always_ready = false;  // after 100 ms, room or not
    std::vector<int> waits;  // the wait of every read that may wait
    int reads = 0;
    std::string written;
};

class FakeChannel : public orbl::channel {
public:
    explicit FakeChannel(Script& script) : s_(script) {}

    long read(char* buffer, std::size_t size, int wait_ms) override {
        if (++s_.reads > 1000) throw std::logic_error("fake channel: reads without end");
        if (wait_ms != 0) s_.waits.push_back(wait_ms);
        std::int64_t delay = s_.arrivals.empty() ? -1 : std::max<std::int64_t>(s_.arrivals.front().at - now_ms, 0);
        if (delay < 0 && wait_ms < 0) throw std::logic_error("fake channel: endless wait");
        if (delay < 0 || (wait_ms >= 0 && delay > wait_ms)) {
            now_ms += wait_ms;
            return -1;
        }
        now_ms += delay;
        auto& next = s_.arrivals.front();
        if (next.bytes.empty()) return 0;
        std::size_t count = std::min(size, next.bytes.size());
        next.bytes.copy(buffer, count);
        next.bytes.erase(0, count);
        if (next.bytes.empty()) s_.arrivals.pop_front();
        return static_cast<long>(count);
    }
    long write(const char* data, std::size_t size, int wait_ms) override {
        if (++writes_ > 1000) throw std::logic_error("fake channel: writes without end");
        long allowed = take(size);
        if (allowed == 0 && wait_ms != 0) {
            int delay = s_.write_wait_always_ready ? 100 : s_.write_delay;
            if (wait_ms > 0 && delay > wait_ms) {
                now_ms += wait_ms;
                return -1;
            }
            now_ms += delay;
            allowed = take(size);
        }
        if (allowed == 0) return -1;
        s_.written.append(data, static_cast<std::size_t>(allowed));
        return allowed;
    }

private:
    long take(std::size_t size) {
        long allowed = static_cast<long>(size);
        if (!s_.accept.empty()) {
            allowed = std::min(allowed, s_.accept.front());
            s_.accept.pop_front();
        }
        return allowed;
    }

    Script& s_;
    int writes_ = 0;
};

// receive, tail, send time-outs in ms.
std::unique_ptr<orbl::IClientSocket> over(Script& script, int receive, int tail, int send = 0) {
    now_ms = 0;
    auto socket = orbl::make_client_socket(std::make_unique<FakeChannel>(script), fake_clock);
    socket->set_timeout(orbl::timeout_kind::receive, &receive);
    socket->set_timeout(orbl::timeout_kind::tail, &tail);
    socket->set_timeout(orbl::timeout_kind::send, &send);
    return socket;
}

std::string text(const orbl::socket_packet& packet) {
    return std::string(packet.get_data().begin(), packet.get_data().end());
}

TEST(ClientSocket, HandsOutOneMessageAndNothingOfTheNext) {
    const std::string first = qtest::frame(1, "abc"), second = qtest::frame(1, "de");
    Script script;
    script.arrivals = {{5, first.substr(0, 34)}, {7, first.substr(34) + second + second}};
    auto socket = over(script, 1000, 1000);

    // The header and the payload read with it; the rest as the tail.
    orbl::socket_packet packet;
    ASSERT_TRUE(socket->receive_packet(packet));
    EXPECT_EQ(text(packet), first.substr(0, 34));
    ASSERT_TRUE(socket->receive_tail(packet, 1));
    EXPECT_EQ(text(packet), first);
    // Two more messages were read ahead with the tail: one at a time.
    for (int i = 0; i < 2; ++i) {
        orbl::socket_packet next;
        ASSERT_TRUE(socket->receive_packet(next));
        EXPECT_EQ(text(next), second);
    }
    EXPECT_EQ(script.waits, (std::vector<int>{1000, 1000}));
    EXPECT_EQ(script.reads, 2);
}

TEST(ClientSocket, EachReadKeepsToItsOwnTimeOut) {
    struct Case {
        const char* name;
        int receive, tail;
        std::deque<Script::Arrival> arrivals;
        std::size_t tail_count;  // 0: receive_packet only
        bool result;
        std::size_t bytes;
        std::int64_t ends_at;
    };
    const std::string h = qtest::header(1, 3);
    const Case cases[] = {
        {"nothing arrives", 1000, 9000, {}, 0, false, 0, 1000},
        {"0 is no limit", 0, 0, {{70000, h}}, 0, true, 32, 70000},
        {"header rest within a fresh receive time-out", 1000, 9000,
         {{500, h.substr(0, 10)}, {1400, h.substr(10)}}, 0, true, 32, 1400},
        {"header stops coming", 1000, 9000, {{500, h.substr(0, 10)}, {1600, h.substr(10)}}, 0,
         true, 10, 1500},
        {"tail later than the receive time-out", 1000, 5000, {{0, h}, {3000, "abc"}}, 3, true, 35,
         3000},
        {"tail deadline counts from its start", 1000, 5000,
         {{0, h}, {3000, "ab"}, {7000, "c"}}, 3, false, 34, 5000},
    };
    for (const Case& c : cases) {
        Script script;
        script.arrivals = c.arrivals;
        auto socket = over(script, c.receive, c.tail);
        orbl::socket_packet packet;
        bool result = socket->receive_packet(packet);
        if (c.tail_count) result = result && socket->receive_tail(packet, c.tail_count);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(packet.size(), c.bytes) << c.name;
        EXPECT_EQ(now_ms, c.ends_at) << c.name;
    }
}

TEST(ClientSocket, EndOfStreamIsClosedByPeer) {
    Script script;
    script.arrivals = {{0, qtest::header(1, 5).substr(0, 20)}, {0, ""}};
    auto socket = over(script, 1000, 1000);
    orbl::socket_packet packet;
    try {
        socket->receive_packet(packet);
        FAIL() << "no error";
    } catch (const orbl::socket_error& error) {
        EXPECT_EQ(error.code(), orbl::socket_code::closed_by_peer);
    }
}

TEST(ClientSocket, SendsInPartsWithinOneDeadline) {
    orbl::socket_packet packet;
    packet.modify_data().assign(100, 'x');
    for (int i = 0; i < 100; ++i) packet.modify_data()[i] = static_cast<char>(i);
    struct Case {
        std::deque<long> accept;
        bool result;
        std::size_t written;
        std::int64_t ends_at;
        bool always_ready = false;
    };
    const std::deque<long> never(50, 0);
    const Case cases[] = {
        {{30, 0, 1, 0, 1000}, true, 100, 800},
        {{30, 0, 1, 0, 0, 0, 1000}, false, 31, 1000},  // the third wait has 200 ms left
        // waits that report room the write then does not find
        {never, false, 0, 1000, true},
    };
    for (const Case& c : cases) {
        Script script;
        script.accept = c.accept;
        script.write_delay = 400;
        script.write_wait_always_ready = c.always_ready;
        auto socket = over(script, 0, 0, 1000);
        EXPECT_EQ(socket->send_packet(packet), c.result);
        EXPECT_EQ(script.written, text(packet).substr(0, c.written));
        EXPECT_EQ(now_ms, c.ends_at);
    }
}

}  // namespace
