#include "tls_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <system_error>

namespace stub {
namespace {

constexpr std::int64_t handshake_ms = 10000;  // a client that stalls mid-handshake is dropped
constexpr std::size_t chunk = 16384;
// After a failed handshake, how long the client's bytes are read and dropped
// while its alert travels; closing on unread bytes would send a reset that
// can overtake the alert.
constexpr std::int64_t drain_ms = 2000;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void log_line(const std::string& text) { std::cerr << "quelmar-stub: " << text << std::endl; }

std::string tls_reason() {
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    const char* reason = first ? ERR_reason_error_string(first) : nullptr;
    return reason ? reason : "unknown reason";
}

std::runtime_error tls_failure(const std::string& text) {
    return std::runtime_error(text + ": " + tls_reason());
}

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

// One relayed connection. Bytes move one chunk at a time in each
// direction: a side that does not take its bytes stops the reading of the
// other side, so nothing piles up in memory.
struct tls_front::link {
    int client = -1;
    int backend = -1;
    SSL* ssl = nullptr;
    bool ready = false;       // handshake done
    bool connecting = false;  // the backend connect is in progress
    bool wants_write = false; // the last TLS call needs the client socket writable
    bool backend_eof = false;
    bool closed = false;
    bool draining = false;    // the handshake failed: the alert is out, the client's bytes are dropped
    std::string to_backend;   // decrypted bytes, sent from to_backend_done on
    std::size_t to_backend_done = 0;
    std::string to_client;    // plain bytes, retried as they are until SSL_write takes them
    std::int64_t active_ms = 0;
    std::int64_t handshake_due_ms = 0;

    bool sending() const { return to_backend_done < to_backend.size(); }
    bool waiting() const { return !ready || (!connecting && !sending() && to_client.empty()); }
};

tls_front::tls_front(const tls_settings& settings, const server_limits& limits) : limits_(limits) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) throw tls_failure("cannot set up tls");
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    const std::string& key = settings.key_file.empty() ? settings.cert_file : settings.key_file;
    if (SSL_CTX_use_certificate_chain_file(ctx_, settings.cert_file.c_str()) != 1)
        throw tls_failure("cannot read tls certificate " + settings.cert_file);
    if (SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx_) != 1)
        throw tls_failure("cannot read tls key " + key);
    if (!settings.client_ca_file.empty()) {
        if (SSL_CTX_load_verify_locations(ctx_, settings.client_ca_file.c_str(), nullptr) != 1)
            throw tls_failure("cannot read client CA file " + settings.client_ca_file);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
}

tls_front::~tls_front() {
    if (loop_.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
        loop_.join();
    }
    for (auto& l : links_) close_link(*l, false);
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
    SSL_CTX_free(ctx_);
}

std::string tls_front::listen(const listen_address& address) {
    std::string bound_name;
    listener_ = open_listener(address, true, bound_name);
    return bound_name;
}

void tls_front::start(int backend_port) {
    backend_port_ = backend_port;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot start tls: ") + std::strerror(errno));
    try {
        loop_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("cannot start tls: ") + e.what());
    }
}

void tls_front::run() {
    std::vector<pollfd> fds;
    std::vector<link*> owners;
    bool accepting = true;
    for (;;) {
        fds.clear();
        owners.clear();
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({accepting ? listener_ : -1, POLLIN, 0});
        for (auto& l : links_) {
            short to_client = l->wants_write ? POLLOUT : 0;
            if (!l->ready ? !l->wants_write : !l->sending()) to_client |= POLLIN;
            short to_backend = 0;
            if (l->ready && (l->connecting || l->sending())) to_backend |= POLLOUT;
            if (l->ready && !l->connecting && l->to_client.empty() && !l->backend_eof)
                to_backend |= POLLIN;
            fds.push_back({l->client, to_client, 0});
            fds.push_back({l->backend, to_backend, 0});
            owners.push_back(l.get());
        }
        const int ready = ::poll(fds.data(), fds.size(), poll_timeout());
        if (ready < 0 && errno != EINTR) {
            log_line(std::string("tls poll failed: ") + std::strerror(errno));
            return;
        }
        if (ready > 0 && fds[0].revents != 0) return;
        if (ready > 0 && fds[1].revents != 0) accepting = accept_all();
        for (std::size_t i = 0; ready > 0 && i < owners.size(); ++i) {
            link& l = *owners[i];
            const short client_events = fds[2 + 2 * i].revents;
            const short backend_events = fds[3 + 2 * i].revents;
            if (l.closed || (client_events == 0 && backend_events == 0)) continue;
            if (client_events & (POLLERR | POLLHUP)) {
                close_link(l, false);  // the client reset the connection
                continue;
            }
            try {
                pump(l, backend_events);
            } catch (const std::exception& e) {
                log_line(std::string("tls connection: ") + e.what());  // out of memory
                close_link(l, false);
            }
        }
        const std::int64_t now = now_ms();
        for (auto& l : links_) {
            if (l->closed) continue;
            if (!l->ready && now >= l->handshake_due_ms) {
                if (!l->draining) log_line("tls handshake failed: no handshake in time");
                close_link(*l, false);
            } else if (l->ready && limits_.idle_timeout_ms > 0 &&
                       now - l->active_ms >= limits_.idle_timeout_ms) {
                close_link(*l, false);
            }
        }
        const auto before = links_.size();
        links_.erase(std::remove_if(links_.begin(), links_.end(), [](const auto& l) { return l->closed; }),
                     links_.end());
        if (links_.size() < before) accepting = true;
    }
}

bool tls_front::accept_all() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Wait for a connection to close rather than spin on a
                // listener that stays readable.
                log_line(std::string("cannot accept: ") + std::strerror(errno));
                return false;
            }
            return true;
        }
        if (!make_room()) {
            log_line("tls connection refused, every connection is busy at the connection limit");
            ::close(fd);
            continue;
        }
        auto l = std::make_unique<link>();
        l->client = fd;
        l->ssl = SSL_new(ctx_);
        l->active_ms = now_ms();
        l->handshake_due_ms = l->active_ms + handshake_ms;
        if (!l->ssl || SSL_set_fd(l->ssl, fd) != 1) {
            log_line("cannot set up a tls connection: " + tls_reason());
            close_link(*l, false);
            continue;
        }
        links_.push_back(std::move(l));
    }
}

// The same policy as the plain server: at the limit, the connection that
// has waited longest on its client makes room.
bool tls_front::make_room() {
    std::size_t open = 0;
    link* oldest = nullptr;
    for (auto& l : links_) {
        if (l->closed) continue;
        ++open;
        if (l->waiting() && (oldest == nullptr || l->active_ms < oldest->active_ms)) oldest = l.get();
    }
    if (open < limits_.max_connections) return true;
    if (oldest == nullptr) return false;
    log_line("tls connection closed, the longest waiting at the connection limit");
    close_link(*oldest, false);
    return true;
}

void tls_front::pump(link& l, short backend_events) {
    if (l.draining) return drain(l);
    if (!l.ready && !handshake(l)) return;
    if (l.connecting && (backend_events & (POLLOUT | POLLERR | POLLHUP))) {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(l.backend, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) {
            log_line(std::string("cannot reach the stub's own listener: ") + std::strerror(error));
            return close_link(l, true);
        }
        l.connecting = false;
    }
    if (!relay(l)) return;
    // A reset backend while the client's answer is still pending: pass the
    // reset on rather than poll a dead socket.
    if (backend_events & (POLLERR | POLLHUP)) close_link(l, true);
}

bool tls_front::handshake(link& l) {
    ERR_clear_error();
    const int r = SSL_accept(l.ssl);
    if (r != 1) {
        const int e = SSL_get_error(l.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            l.wants_write = e == SSL_ERROR_WANT_WRITE;
            return false;
        }
        log_line("tls handshake failed: " + tls_reason());
        // OpenSSL has written its alert (such as "certificate required")
        // to the socket. End the sending side after it, then read and drop
        // what the client still sends, such as its first request after a
        // TLS 1.3 handshake, until it closes or the time is up: the client
        // then reads the alert instead of a reset.
        SSL_free(l.ssl);
        l.ssl = nullptr;
        ::shutdown(l.client, SHUT_WR);
        l.draining = true;
        l.wants_write = false;
        l.handshake_due_ms = now_ms() + drain_ms;
        drain(l);
        return false;
    }
    l.ready = true;
    l.wants_write = false;
    l.active_ms = now_ms();
    l.backend = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(backend_port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = l.backend < 0 ? -1
                                 : ::connect(l.backend, reinterpret_cast<sockaddr*>(&address),
                                             sizeof address);
    if (rc != 0 && !(l.backend >= 0 && errno == EINPROGRESS)) {
        log_line(std::string("cannot reach the stub's own listener: ") + std::strerror(errno));
        close_link(l, true);
        return false;
    }
    l.connecting = rc != 0;
    const int on = 1;
    ::setsockopt(l.backend, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

// Moves bytes both ways until neither side can take or give more. False
// when the link was closed.
bool tls_front::relay(link& l) {
    char buffer[chunk];
    l.wants_write = false;
    for (bool progress = true; progress && !l.closed;) {
        progress = false;
        if (!l.sending()) {
            ERR_clear_error();
            const int n = SSL_read(l.ssl, buffer, sizeof buffer);
            if (n > 0) {
                l.to_backend.assign(buffer, static_cast<std::size_t>(n));
                l.to_backend_done = 0;
                progress = true;
            } else {
                const int e = SSL_get_error(l.ssl, n);
                if (e == SSL_ERROR_WANT_WRITE) l.wants_write = true;
                else if (e != SSL_ERROR_WANT_READ) close_link(l, false);  // close_notify, end or error
                if (l.closed) return false;
            }
        }
        if (!l.connecting && l.sending()) {
            const ssize_t n = ::send(l.backend, l.to_backend.data() + l.to_backend_done,
                                     l.to_backend.size() - l.to_backend_done, MSG_NOSIGNAL);
            if (n > 0) {
                l.to_backend_done += static_cast<std::size_t>(n);
                progress = true;
            } else if (n < 0 && !would_block()) {
                close_link(l, false);
                return false;
            }
        }
        if (!l.connecting && l.to_client.empty() && !l.backend_eof) {
            const ssize_t n = ::recv(l.backend, buffer, sizeof buffer, 0);
            if (n > 0) {
                l.to_client.assign(buffer, static_cast<std::size_t>(n));
                progress = true;
            } else if (n == 0) {
                l.backend_eof = true;
            } else if (!would_block()) {
                close_link(l, true);  // the rules asked for a reset
                return false;
            }
        }
        if (!l.to_client.empty()) {
            ERR_clear_error();
            const int n = SSL_write(l.ssl, l.to_client.data(), static_cast<int>(l.to_client.size()));
            if (n > 0) {
                l.to_client.clear();
                progress = true;
            } else {
                const int e = SSL_get_error(l.ssl, n);
                if (e == SSL_ERROR_WANT_WRITE) l.wants_write = true;
                else if (e != SSL_ERROR_WANT_READ) close_link(l, false);
                if (l.closed) return false;
            }
        }
        if (progress) l.active_ms = now_ms();
    }
    if (l.backend_eof && l.to_client.empty()) {
        SSL_shutdown(l.ssl);  // close_notify, then an orderly close
        close_link(l, false);
        return false;
    }
    return true;
}

void tls_front::drain(link& l) {
    char buffer[chunk];
    for (;;) {
        const ssize_t n = ::recv(l.client, buffer, sizeof buffer, 0);
        if (n > 0) continue;
        if (n < 0 && would_block()) return;
        close_link(l, false);  // the client closed, or reset
        return;
    }
}

void tls_front::close_link(link& l, bool reset) {
    if (l.closed) return;
    if (reset) {
        // A zero linger time makes close() send RST instead of FIN.
        const linger hard{1, 0};
        ::setsockopt(l.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    SSL_free(l.ssl);
    l.ssl = nullptr;
    ::close(l.client);
    if (l.backend >= 0) ::close(l.backend);
    l.closed = true;
    ERR_clear_error();
}

int tls_front::poll_timeout() const {
    std::int64_t earliest = -1;
    for (const auto& l : links_) {
        std::int64_t due = l->handshake_due_ms;
        if (l->ready) {
            if (limits_.idle_timeout_ms <= 0) continue;
            due = l->active_ms + limits_.idle_timeout_ms;
        }
        if (earliest < 0 || due < earliest) earliest = due;
    }
    if (earliest < 0) return -1;
    return static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(0, earliest - now_ms()), 60000));
}

}  // namespace stub
