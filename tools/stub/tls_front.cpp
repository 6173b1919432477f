#include "tls_front.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace stub {
namespace {

constexpr int poll_ms = 100;

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

int connect_loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

void reset_close(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

bool send_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

tls_front::tls_front(const tls_settings& settings) {
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
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return active_ == 0; });
    if (listener_ >= 0) ::close(listener_);
    SSL_CTX_free(ctx_);
}

std::string tls_front::listen(const listen_address& address) {
    std::string bound_name;
    listener_ = open_listener(address, false, bound_name);
    return bound_name;
}

void tls_front::start(int backend_port) {
    backend_port_ = backend_port;
    acceptor_ = std::thread([this] { accept_loop(); });
}

void tls_front::accept_loop() {
    while (!stop_) {
        pollfd entry{listener_, POLLIN, 0};
        if (::poll(&entry, 1, poll_ms) <= 0) continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++active_;
        }
        std::thread([this, client] {
            serve(client);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--active_ == 0) finished_.notify_all();
        }).detach();
    }
}

// One connection: handshake, then both directions until either side ends.
// The sockets stay blocking; poll() says when to read, and SSL_pending()
// covers bytes OpenSSL has already taken off the socket.
void tls_front::serve(int client) {
    const timeval bound{10, 0};  // a client that stalls mid-handshake is dropped
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    SSL* ssl = SSL_new(ctx_);
    if (!ssl || SSL_set_fd(ssl, client) != 1 || SSL_accept(ssl) != 1) {
        log_line("tls handshake failed: " + tls_reason());
        SSL_free(ssl);
        ::close(client);
        return;
    }
    const timeval none{0, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    const int backend = connect_loopback(backend_port_);
    if (backend < 0) {
        log_line(std::string("cannot reach the stub's own listener: ") + std::strerror(errno));
        SSL_free(ssl);
        reset_close(client);
        return;
    }

    char buffer[16384];
    bool client_open = true;
    while (!stop_) {
        pollfd fds[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
        if (SSL_pending(ssl) == 0 && ::poll(fds, 2, poll_ms) <= 0) continue;
        if (SSL_pending(ssl) > 0 || fds[0].revents != 0) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) {
                client_open = false;  // close_notify, end of stream or an error
                break;
            }
            if (!send_all(backend, buffer, static_cast<std::size_t>(n))) break;
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ::recv(backend, buffer, sizeof buffer, 0);
            if (n > 0) {
                if (SSL_write(ssl, buffer, static_cast<int>(n)) <= 0) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {
                SSL_shutdown(ssl);
                ::close(client);
            } else {
                reset_close(client);  // the rules asked for a reset
            }
            SSL_free(ssl);
            ::close(backend);
            ERR_clear_error();
            return;
        }
    }
    if (client_open) SSL_shutdown(ssl);
    SSL_free(ssl);
    ::close(client);
    ::close(backend);
    ERR_clear_error();
}

}  // namespace stub
