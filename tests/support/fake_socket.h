#pragma once
// A scripted orbl::IClientSocket for the frame, exchange and operation tests.
// The test keeps the shared Script and hands the socket itself to the code
// under test; the script says what each receive delivers and records what
// was sent.

#include <deque>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "components/net/socket.h"

namespace qtest {

struct FakeScript {
    struct Delivery {
        enum Kind { bytes, nothing, error } kind;
        std::string data;  // bytes
        int code = 0;      // error
        std::string text;  // error
    };

    // What each receive_packet call does, in order. An exhausted script
    // throws std::logic_error, so a test can never wait forever.
    std::deque<Delivery> deliveries;
    // Bytes that receive_tail hands out; a request for more than is left
    // reports a time-out.
    std::string tail;
    bool send_result = true;
    bool send_throws = false;     // send_packet throws socket_error 10054
    bool timeout_throws = false;  // set_timeout throws socket_error 10022
    bool tail_out_of_memory = false;  // receive_tail throws std::bad_alloc

    std::vector<std::string> sent;
    std::vector<std::size_t> tail_requests;
    std::vector<std::pair<int, int>> timeouts;  // (kind, value) as set
    int receive_calls = 0;
    bool destroyed = false;

    void deliver(const std::string& data) { deliveries.push_back({Delivery::bytes, data, 0, {}}); }
    void deliver_nothing() { deliveries.push_back({Delivery::nothing, {}, 0, {}}); }
    void fail(int code, const std::string& text) {
        deliveries.push_back({Delivery::error, {}, code, text});
    }
};

class FakeSocket : public orbl::IClientSocket {
public:
    explicit FakeSocket(std::shared_ptr<FakeScript> script) : script_(std::move(script)) {}
    ~FakeSocket() override { script_->destroyed = true; }

    bool set_timeout(int kind, const int* value) override {
        if (script_->timeout_throws) throw orbl::socket_error(10022, "invalid argument");
        script_->timeouts.emplace_back(kind, *value);
        return true;
    }

    bool receive_tail(orbl::socket_packet& packet, std::size_t count) override {
        script_->tail_requests.push_back(count);
        if (script_->tail_out_of_memory) throw std::bad_alloc();
        if (script_->tail.size() < count) return false;
        std::vector<char>& data = packet.modify_data();
        data.insert(data.end(), script_->tail.begin(), script_->tail.begin() + count);
        script_->tail.erase(0, count);
        return true;
    }

    bool receive_packet(orbl::socket_packet& packet) override {
        ++script_->receive_calls;
        if (script_->deliveries.empty()) throw std::logic_error("fake socket: nothing scripted");
        FakeScript::Delivery next = std::move(script_->deliveries.front());
        script_->deliveries.pop_front();
        switch (next.kind) {
        case FakeScript::Delivery::nothing:
            return false;
        case FakeScript::Delivery::error:
            throw orbl::socket_error(next.code, next.text);
        case FakeScript::Delivery::bytes:
            break;
        }
        std::vector<char>& data = packet.modify_data();
        data.insert(data.end(), next.data.begin(), next.data.end());
        return true;
    }

    bool send_packet(const orbl::socket_packet& packet) override {
        if (script_->send_throws) throw orbl::socket_error(10054, "connection reset by peer");
        const std::vector<char>& data = packet.get_data();
        if (script_->send_result) script_->sent.emplace_back(data.begin(), data.end());
        return script_->send_result;
    }

private:
    std::shared_ptr<FakeScript> script_;
};

}  // namespace qtest
