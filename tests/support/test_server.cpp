#include "support/test_server.h"

#include <stdexcept>

#include "components/text/serializer.h"
#include "protocol/message.h"

namespace qtest {
namespace tp = test_platform;

namespace {
// How often the server thread looks at the stop flag while it waits.
constexpr int poll_ms = 20;
}  // namespace

Answer operator+(Answer first, const Answer& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::string header(int type, std::uint32_t data_size) {
    std::string bytes(quel::MessageHeaderSize, '\0');
    bytes.replace(0, 12, "QUELMAR21001");
    bytes[20] = static_cast<char>(type);
    quel::put_u32(&bytes[24], data_size);
    return bytes;
}

std::string frame(int type, const std::string& payload) {
    return header(type, static_cast<std::uint32_t>(payload.size())) + payload;
}

Answer reply(const std::string& payload) { return message(quel::Reply, payload); }

Answer error_reply(const std::string& text) {
    orbl::out_serialize writer;
    writer << text;
    std::vector<char> payload;
    writer.append_to(payload);
    return message(quel::ErrorReply, std::string(payload.begin(), payload.end()));
}

Answer message(int type, const std::string& payload) { return raw(frame(type, payload)); }
Answer raw(const std::string& bytes) { return {Step{Step::send, bytes, 0}}; }
Answer pause(int ms) { return {Step{Step::pause, {}, ms}}; }
Answer close_connection() { return {Step{Step::close, {}, 0}}; }
Answer reset_connection() { return {Step{Step::reset, {}, 0}}; }
Answer half_close() { return {Step{Step::half_close, {}, 0}}; }
Answer no_answer() { return {}; }

TestServer::TestServer(bool ipv6) {
    listener_ = tp::listen_loopback(port_, ipv6);
    if (listener_ == tp::no_sock) throw std::runtime_error("test server cannot listen");
    thread_ = std::thread([this] { run(); });
}

TestServer::~TestServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    tp::close_socket(listener_);
}

void TestServer::script(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(answer));
}

void TestServer::set_default(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_ = std::move(handler);
}

std::vector<Request> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int TestServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

int TestServer::closed_by_client() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_by_client_;
}

template <typename Pred>
bool TestServer::wait_until(Pred pred, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, pred);
}

bool TestServer::wait_for_requests(std::size_t count, std::chrono::milliseconds bound) {
    return wait_until([&] { return requests_.size() >= count; }, bound);
}

bool TestServer::wait_for_connections(int count, std::chrono::milliseconds bound) {
    return wait_until([&] { return connections_ >= count; }, bound);
}

bool TestServer::wait_for_closed_by_client(int count, std::chrono::milliseconds bound) {
    return wait_until([&] { return closed_by_client_ >= count; }, bound);
}

bool TestServer::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

void TestServer::run() {
    while (!stopping()) {
        tp::sock socket = tp::accept_within(listener_, poll_ms);
        if (socket == tp::no_sock) continue;
        int connection;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connection = ++connections_;
        }
        changed_.notify_all();
        serve(socket, connection);
    }
}

void TestServer::serve(tp::sock socket, int connection) {
    for (;;) {
        char head[quel::MessageHeaderSize] = {};
        std::uint32_t size = 0;
        bool readable = read_exact(socket, head, sizeof head);
        if (readable) {
            try {
                size = quel::check_header(head, sizeof head);
            } catch (const std::exception&) {
                readable = false;  // not a request this server understands
            }
        }
        Request request{connection, static_cast<signed char>(head[20]), std::string(size, '\0'),
                        {}};
        if (readable && size > 0) readable = read_exact(socket, &request.payload[0], size);
        if (!readable) {
            tp::close_socket(socket);
            return;
        }
        request.frame = std::string(head, sizeof head) + request.payload;
        Answer steps = next_answer(request);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        changed_.notify_all();
        if (!answer(socket, steps)) return;
    }
}

bool TestServer::read_exact(tp::sock socket, char* buffer, std::size_t size) {
    while (size > 0) {
        if (stopping()) return false;
        long n = tp::receive_within(socket, buffer, size, poll_ms);
        if (n == tp::recv_timed_out) continue;
        if (n <= 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++closed_by_client_;
            }
            changed_.notify_all();
            return false;
        }
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool TestServer::answer(tp::sock socket, const Answer& steps) {
    for (const Step& step : steps) {
        switch (step.kind) {
        case Step::send:
            // A client that has gone shows up at the next read.
            tp::send_all(socket, step.bytes.data(), step.bytes.size());
            break;
        case Step::pause: {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(step.ms), [this] { return stop_; });
            break;
        }
        case Step::close:
            tp::close_socket(socket);
            return false;
        case Step::reset:
            tp::reset_socket(socket);
            return false;
        case Step::half_close: {
            tp::shutdown_sending(socket);
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_; });
            lock.unlock();
            tp::close_socket(socket);
            return false;
        }
        }
    }
    return true;
}

Answer TestServer::next_answer(const Request& request) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            Answer next = std::move(script_.front());
            script_.pop_front();
            return next;
        }
        handler = default_;
    }
    return handler ? handler(request) : reply();
}

}  // namespace qtest
