#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "protocol/message.h"

namespace stub {
namespace {

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void log_line(const std::string& text) { std::cerr << "quelmar-stub: " << text << std::endl; }

std::runtime_error system_failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Largest read into a connection's buffer at once.
constexpr std::size_t read_chunk = 65536;

}  // namespace

struct server::connection {
    enum class state { reading, delaying, writing, discarding };

    int fd = -1;
    std::uint64_t number = 0;
    state now = state::reading;
    // Bytes of the request being read; never more than one message, since
    // reads stop at the message's end.
    std::vector<char> in;
    std::uint32_t data_size = 0;
    bool header_checked = false;
    answer pending;  // the answer waiting for its delay
    std::int64_t due_ms = 0;
    std::int64_t active_ms = 0;  // last byte in or out, or the end of a delay
    std::string out;
    std::size_t out_done = 0;
    after then = after::keep;
    bool closed = false;
};

bool parse_listen(const std::string& text, listen_address& out) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return false;  // bare IPv6 needs brackets
    }
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const int number = std::stoi(port);
    if (number > 65535) return false;
    out.host = host.empty() ? "127.0.0.1" : host;
    out.port = number;
    return true;
}

server::server(responder& answers, journal& log, const server_limits& limits)
    : answers_(answers), journal_(log), limits_(limits) {}

server::~server() {
    for (auto& c : connections_)
        if (!c->closed) ::close(c->fd);
    if (listener_ >= 0) ::close(listener_);
}

int open_listener(const listen_address& address, bool nonblocking, std::string& bound_name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | (address.host == "localhost" ? 0 : AI_NUMERICHOST);
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    if (getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
        throw std::runtime_error("cannot use listen address " + address.host);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);

    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) throw system_failure("cannot create socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const auto failure = system_failure("cannot listen on " + address.host + ":" + port);
        ::close(fd);
        throw failure;
    }

    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    char host[INET6_ADDRSTRLEN] = {};
    if (bound.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&bound);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        bound_name = "[" + std::string(host) + "]:" + std::to_string(ntohs(a->sin6_port));
    } else {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&bound);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        bound_name = std::string(host) + ":" + std::to_string(ntohs(a->sin_port));
    }
    return fd;
}

std::string server::listen(const listen_address& address) {
    std::string bound_name;
    listener_ = open_listener(address, true, bound_name);
    return bound_name;
}

bool server::run(int stop_fd) {
    std::vector<pollfd> fds;
    std::vector<connection*> owners;
    for (;;) {
        fds.clear();
        owners.clear();
        fds.push_back({stop_fd, POLLIN, 0});
        fds.push_back({accepting_ ? listener_ : -1, POLLIN, 0});
        for (auto& c : connections_) {
            short events = 0;
            if (c->now == connection::state::reading || c->now == connection::state::discarding)
                events = POLLIN;
            else if (c->now == connection::state::writing)
                events = POLLOUT;
            else
                continue;  // delaying: only the timer matters
            fds.push_back({c->fd, events, 0});
            owners.push_back(c.get());
        }

        const int ready = ::poll(fds.data(), fds.size(), poll_timeout());
        if (ready < 0 && errno != EINTR) {
            log_line(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (ready > 0 && fds[0].revents != 0) return true;
        // Connections first: a request that came before a new connection
        // has its answer under way before the limit is weighed.
        for (std::size_t i = 0; ready > 0 && i < owners.size(); ++i) {
            const short revents = fds[i + 2].revents;
            connection& c = *owners[i];
            if (revents == 0 || c.closed) continue;
            try {
                if (c.now == connection::state::writing)
                    on_writable(c);
                else
                    on_readable(c);
            } catch (const std::exception& e) {
                // Out of memory for one client's request costs that
                // connection, not the server.
                log_line("connection " + std::to_string(c.number) + ": " + e.what());
                close_connection(c, false);
            }
        }
        if (ready > 0 && fds[1].revents != 0) accept_all();
        fire_due_delays();
        close_idle();
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return c->closed; }),
                           connections_.end());
    }
}

void server::accept_all() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting until a connection closes,
                // instead of spinning on a listener that stays readable.
                log_line(std::string("cannot accept: ") + std::strerror(errno));
                accepting_ = false;
            }
            return;
        }
        ++totals_.connections;
        if (!make_room()) {
            ++totals_.refused;
            log_line("connection " + std::to_string(next_number_++) +
                     ": refused, every connection is busy at the connection limit");
            ::close(fd);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto c = std::make_unique<connection>();
        c->fd = fd;
        c->number = next_number_++;
        c->active_ms = now_ms();
        connections_.push_back(std::move(c));
    }
}

// At the limit, closes the connection that has waited longest on its
// client. False when every connection is busy with an answer.
bool server::make_room() {
    std::size_t open = 0;
    connection* oldest = nullptr;
    for (auto& c : connections_) {
        if (c->closed) continue;
        ++open;
        const bool waiting = c->now == connection::state::reading ||
                             c->now == connection::state::discarding;
        if (waiting && (oldest == nullptr || c->active_ms < oldest->active_ms)) oldest = c.get();
    }
    if (open < limits_.max_connections) return true;
    if (oldest == nullptr) return false;
    ++totals_.refused;
    log_line("connection " + std::to_string(oldest->number) +
             ": closed, the longest waiting at the connection limit");
    close_connection(*oldest, false);
    return true;
}

void server::close_idle() {
    if (limits_.idle_timeout_ms <= 0) return;
    const std::int64_t now = now_ms();
    for (auto& c : connections_) {
        if (c->closed || c->now == connection::state::delaying) continue;
        if (now - c->active_ms < limits_.idle_timeout_ms) continue;
        log_line("connection " + std::to_string(c->number) + ": closed, idle");
        close_connection(*c, false);
    }
}

void server::on_readable(connection& c) {
    char discard[4096];
    if (c.now == connection::state::discarding) {
        const ssize_t n = ::recv(c.fd, discard, sizeof discard, 0);
        if (n > 0) c.active_ms = now_ms();
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            close_connection(c, false);
        return;
    }
    // A header just completed: its payload is read at once where the
    // socket has it, so a request that arrived whole is answered (or under
    // way) before new connections are weighed against the limit.
    const bool had_header = c.header_checked;
    if (read_request(c) && !had_header && c.header_checked && c.now == connection::state::reading)
        read_request(c);
}

// One read of the request in progress. False when nothing more can be
// read now (no bytes, the connection ended, or the request was handled).
bool server::read_request(connection& c) {
    // Read no further than the end of the current message, so that a
    // following request stays in the socket until this one is answered.
    const std::size_t wanted =
        c.header_checked ? quel::MessageHeaderSize + c.data_size - c.in.size()
                         : quel::MessageHeaderSize - c.in.size();
    const std::size_t old_size = c.in.size();
    const std::size_t step = std::min(wanted, read_chunk);
    if (c.in.capacity() < old_size + step)  // grow geometrically, never past the message
        c.in.reserve(std::min(old_size + wanted, std::max(2 * c.in.capacity(), old_size + step)));
    c.in.resize(old_size + step);
    const ssize_t n = ::recv(c.fd, c.in.data() + old_size, c.in.size() - old_size, 0);
    c.in.resize(old_size + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n > 0) c.active_ms = now_ms();
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            close_connection(c, false);  // reset by the client
        return false;
    }
    if (n == 0) {
        if (!c.in.empty())
            log_line("connection " + std::to_string(c.number) + ": closed in the middle of a message (" +
                     std::to_string(c.in.size()) + " bytes received)");
        close_connection(c, false);
        return false;
    }
    if (!c.header_checked && c.in.size() == quel::MessageHeaderSize) {
        try {
            c.data_size = quel::check_header(c.in.data(), c.in.size());
        } catch (const std::exception& e) {
            log_line("connection " + std::to_string(c.number) + ": invalid frame: " + e.what());
            close_connection(c, false);
            return false;
        }
        c.header_checked = true;
    }
    if (c.header_checked && c.in.size() == quel::MessageHeaderSize + c.data_size) {
        handle_request(c);
        return false;
    }
    return true;
}

void server::handle_request(connection& c) {
    ++totals_.requests;
    const int type = static_cast<signed char>(c.in[20]);
    answer a;
    if (!is_request_type(type)) {
        a = responder::refuse("unexpected message");
        journal_.record_refused(c.number, type, "unexpected message");
    } else {
        try {
            const auto payload = c.in.cbegin() + quel::MessageHeaderSize;
            const request req = decode_request(type, payload, c.in.cend());
            a = answers_.respond(req);
            journal_.record(c.number, req, a);
        } catch (const std::exception& e) {
            a = responder::refuse(e.what());
            journal_.record_refused(c.number, type, e.what());
        }
    }
    c.in.clear();
    c.in.shrink_to_fit();
    c.header_checked = false;
    c.data_size = 0;
    if (a.delay_ms > 0) {
        c.pending = std::move(a);
        c.due_ms = now_ms() + c.pending.delay_ms;
        c.now = connection::state::delaying;
        return;
    }
    apply(c, a);
}

void server::apply(connection& c, const answer& a) {
    switch (a.what) {
    case action::close: close_connection(c, false); return;
    case action::reset: close_connection(c, true); return;
    case action::no_answer: c.now = connection::state::discarding; return;
    case action::reply:
    case action::error:
    case action::raw: break;
    }
    c.out = a.bytes;
    c.out_done = 0;
    c.then = a.then;
    c.now = connection::state::writing;
    on_writable(c);
}

void server::on_writable(connection& c) {
    while (c.out_done < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_done, c.out.size() - c.out_done,
                                 MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            close_connection(c, false);  // the client went away
            return;
        }
        c.out_done += static_cast<std::size_t>(n);
        c.active_ms = now_ms();
    }
    finish_answer(c);
}

void server::finish_answer(connection& c) {
    c.out.clear();
    c.out_done = 0;
    if (c.then == after::close) {
        close_connection(c, false);
    } else {
        c.now = connection::state::reading;
    }
}

void server::close_connection(connection& c, bool reset) {
    if (c.closed) return;
    if (reset) {
        // A zero linger time makes close() send RST instead of FIN.
        const linger hard{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(c.fd);
    c.closed = true;
    accepting_ = true;
}

int server::poll_timeout() const {
    std::int64_t earliest = -1;
    const auto consider = [&earliest](std::int64_t due) {
        if (earliest < 0 || due < earliest) earliest = due;
    };
    for (const auto& c : connections_) {
        if (c->now == connection::state::delaying) consider(c->due_ms);
        else if (limits_.idle_timeout_ms > 0) consider(c->active_ms + limits_.idle_timeout_ms);
    }
    if (earliest < 0) return -1;
    return static_cast<int>(std::min<std::int64_t>(
        std::max<std::int64_t>(0, earliest - now_ms()), 60000));
}

void server::fire_due_delays() {
    const std::int64_t now = now_ms();
    for (auto& c : connections_) {
        if (c->closed || c->now != connection::state::delaying || c->due_ms > now) continue;
        const answer a = std::move(c->pending);
        c->active_ms = now;
        apply(*c, a);
    }
}

}  // namespace stub
