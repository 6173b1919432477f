#pragma once
// The stub's network side: one listening socket and any number of client
// connections, served from one thread with poll(). Each connection carries
// strictly one request, then one answer, then the next request.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "journal.h"
#include "responder.h"

namespace stub {

struct listen_address {
    std::string host = "127.0.0.1";  // numeric IPv4 or IPv6 address, or "localhost"
    int port = 0;                    // 0: any free port
};

// Parses "HOST:PORT", "[V6]:PORT" or ":PORT" (loopback). False on a
// malformed text or a port outside 0 to 65535.
bool parse_listen(const std::string& text, listen_address& out);

// A listening socket on `address` (non-blocking when asked); `bound_name`
// receives the bound address as "127.0.0.1:PORT" or "[::1]:PORT". Throws
// std::runtime_error with the reason.
int open_listener(const listen_address& address, bool nonblocking, std::string& bound_name);

// Bounds on the clients of one server. At max_connections, a new
// connection closes the connection that has waited longest on its client
// (reading or discarding, by the time of its last byte); when none is
// waiting, the new connection is closed at once.
struct server_limits {
    std::size_t max_connections = 256;
    // A connection on which nothing arrives (or, while answering, nothing
    // leaves) for this long is closed; 0: never. A delay set by a rule
    // does not count.
    std::int64_t idle_timeout_ms = 300000;
};

class server {
public:
    server(responder& answers, journal& log, const server_limits& limits = {});
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    // Binds and listens. Returns the bound address as "127.0.0.1:PORT" or
    // "[::1]:PORT". Throws std::runtime_error with a fixed text and the
    // system's reason.
    std::string listen(const listen_address& address);

    // Serves until `stop_fd` becomes readable (true) or poll() fails
    // (false). Never throws for anything a client sends.
    bool run(int stop_fd);

    struct counts {
        std::uint64_t connections = 0;
        std::uint64_t requests = 0;
        std::uint64_t refused = 0;  // closed at once or evicted at the connection limit
    };
    counts totals() const { return totals_; }

private:
    struct connection;

    void accept_all();
    void on_readable(connection& c);
    bool read_request(connection& c);
    void on_writable(connection& c);
    void handle_request(connection& c);
    void apply(connection& c, const answer& a);
    void finish_answer(connection& c);
    void close_connection(connection& c, bool reset);
    int poll_timeout() const;
    void fire_due_delays();
    void close_idle();
    bool make_room();

    responder& answers_;
    journal& journal_;
    server_limits limits_;
    int listener_ = -1;
    bool accepting_ = true;
    std::vector<std::unique_ptr<connection>> connections_;
    std::uint64_t next_number_ = 1;
    counts totals_;
};

}  // namespace stub
