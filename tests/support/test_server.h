#pragma once
// A scriptable Quelmar-protocol server on loopback for the end-to-end tests.
//
// It runs on its own thread, accepts connections one after the other, reads
// each request frame, records it, and answers it with the next scripted
// Answer (or the default handler's, or an empty Reply). An Answer is a list
// of steps: send bytes, pause, close the connection (FIN) or reset it (RST).
// The destructor stops the thread within a few tens of milliseconds.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/platform.h"

namespace qtest {

struct Step {
    enum Kind { send, pause, close, reset, half_close } kind;
    std::string bytes;  // send
    int ms = 0;         // pause
};
using Answer = std::vector<Step>;

// Answers chain: raw(part) + close_connection() sends part, then closes.
Answer operator+(Answer first, const Answer& second);

// A 32-byte header as the library writes it, with any type and data_size.
std::string header(int type, std::uint32_t data_size);
// Header and payload, data_size set to the payload's length.
std::string frame(int type, const std::string& payload);

Answer reply(const std::string& payload = {});
Answer error_reply(const std::string& text);
Answer message(int type, const std::string& payload);
Answer raw(const std::string& bytes);
Answer pause(int ms);
Answer close_connection();
Answer reset_connection();
// Ends the server's sending side (FIN); it reads nothing more from then on.
Answer half_close();
// Nothing is sent; the server goes on reading the connection.
Answer no_answer();

struct Request {
    int connection;       // 1 for the first connection accepted
    int type;             // type byte of the header
    std::string payload;  // the data_size bytes after the header
    std::string frame;    // header and payload as received
};

class TestServer {
public:
    using Handler = std::function<Answer(const Request&)>;

    // Listens on 127.0.0.1, or on ::1 with `ipv6`; throws std::runtime_error
    // when it cannot.
    explicit TestServer(bool ipv6 = false);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }

    // Queues the answer to the next request that has no answer yet.
    void script(Answer answer);
    // Answers every request once the queue is empty.
    void set_default(Handler handler);

    std::vector<Request> requests() const;
    int connections() const;
    // Connections that the client closed or reset.
    int closed_by_client() const;

    // Bounded waits for the server's side of events; false on time-out.
    bool wait_for_requests(std::size_t count,
                           std::chrono::milliseconds bound = std::chrono::seconds(10));
    bool wait_for_connections(int count,
                              std::chrono::milliseconds bound = std::chrono::seconds(10));
    bool wait_for_closed_by_client(int count,
                                   std::chrono::milliseconds bound = std::chrono::seconds(10));

private:
    void run();
    void serve(test_platform::sock socket, int connection);
    // Reads exactly `size` bytes; false when the client closed or stop was
    // asked for.
    bool read_exact(test_platform::sock socket, char* buffer, std::size_t size);
    // Runs the steps; false when the connection is finished.
    bool answer(test_platform::sock socket, const Answer& steps);
    Answer next_answer(const Request& request);
    bool stopping() const;
    template <typename Pred>
    bool wait_until(Pred pred, std::chrono::milliseconds bound);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::deque<Answer> script_;
    Handler default_;
    std::vector<Request> requests_;
    int connections_ = 0;
    int closed_by_client_ = 0;

    test_platform::sock listener_ = test_platform::no_sock;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace qtest
