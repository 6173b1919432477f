#include "tls/support/tls_front.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <chrono>
#include <exception>
#include <string>

#include "components/net/net.h"
#include "components/net/socket.h"
#include "support/net_connect.h"

namespace qtest {
namespace tp = test_platform;

namespace {

// Short polls keep both directions moving and the stop request noticed.
constexpr int poll_ms = 10;

// A BIO over the test platform's socket calls: a read that finds nothing
// within poll_ms asks OpenSSL to retry.
int bio_read(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    auto socket = static_cast<tp::sock>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
    long got = tp::receive_within(socket, buffer, static_cast<std::size_t>(size), poll_ms);
    if (got == tp::recv_timed_out) {
        BIO_set_retry_read(bio);
        return -1;
    }
    return got == tp::recv_failed ? -1 : static_cast<int>(got);
}

int bio_write(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    auto socket = static_cast<tp::sock>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
    return tp::send_all(socket, data, static_cast<std::size_t>(size)) ? size : -1;
}

long bio_ctrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "test socket");
        BIO_meth_set_read(made, bio_read);
        BIO_meth_set_write(made, bio_write);
        BIO_meth_set_ctrl(made, bio_ctrl);
        return made;
    }();
    return method;
}

// Reads what the client still sends until it closes, so that closing our
// side does not reset the connection while the client reads our alert.
void drain(tp::sock socket, const std::atomic<bool>& stop) {
    char buffer[4096];
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stop && std::chrono::steady_clock::now() < bound) {
        long got = tp::receive_within(socket, buffer, sizeof buffer, poll_ms);
        if (got == 0 || got == tp::recv_failed) return;
    }
}

}  // namespace

// The connection to the test server, made with the library's own socket
// layer, which tells a reset from an orderly close on every platform.
class Backend {
public:
    explicit Backend(int port) {
        try {
            orbl::inet_address address = orbl::get_host_by_addr(L"127.0.0.1");
            socket_ = qtest::connect_to(address.addresses.at(0), port, 5000);
        } catch (const std::exception&) {
            socket_ = orbl::net::invalid_handle;
        }
    }
    ~Backend() { orbl::net::close(socket_); }
    bool ok() const { return socket_ != orbl::net::invalid_handle; }

    bool send(const char* data, std::size_t size) {
        try {
            while (size > 0) {
                long sent = orbl::net::send_some(socket_, data, size);
                if (sent < 0) {
                    orbl::net::wait(socket_, true, poll_ms);
                    continue;
                }
                data += sent;
                size -= static_cast<std::size_t>(sent);
            }
            return true;
        } catch (const orbl::socket_error&) {
            return false;
        }
    }

    static constexpr long nothing = -1;
    static constexpr long reset = -2;
    // Bytes received, 0 at an orderly end, nothing, or reset.
    long receive(char* buffer, std::size_t size) {
        try {
            if (!orbl::net::wait(socket_, false, poll_ms)) return nothing;
            return orbl::net::receive_some(socket_, buffer, size);
        } catch (const orbl::socket_error& error) {
            return error.code() == orbl::socket_code::connection_reset ? reset : 0;
        }
    }

private:
    orbl::net::handle socket_ = orbl::net::invalid_handle;
};

TlsFront::TlsFront(int backend_port, const Identity& identity, const Identity* client_ca,
                   int max_version)
    : backend_port_(backend_port) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) return;
    bool ok = SSL_CTX_use_certificate(ctx_, identity.cert.get()) == 1 &&
              SSL_CTX_use_PrivateKey(ctx_, identity.key.get()) == 1 &&
              SSL_CTX_set_max_proto_version(ctx_, max_version) == 1;
    if (ok && client_ca) {
        ok = X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_), client_ca->cert.get()) == 1;
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (!ok) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        return;
    }
    listener_ = tp::listen_loopback(port_);
    if (listener_ != tp::no_sock) thread_ = std::thread([this] { run(); });
}

TlsFront::~TlsFront() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != tp::no_sock) tp::close_socket(listener_);
    SSL_CTX_free(ctx_);
}

void TlsFront::run() {
    while (!stop_) {
        tp::sock client = tp::accept_within(listener_, poll_ms * 5);
        if (client != tp::no_sock) serve(client);
    }
    ERR_clear_error();
}

void TlsFront::serve(tp::sock client) {
    SSL* ssl = SSL_new(ctx_);
    BIO* bio = ssl ? BIO_new(socket_method()) : nullptr;
    if (!bio) {
        SSL_free(ssl);
        tp::close_socket(client);
        return;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(client)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);

    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int result = 0;
    while (!stop_ && std::chrono::steady_clock::now() < bound) {
        ERR_clear_error();
        result = SSL_accept(ssl);
        if (result == 1 || SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ) break;
    }
    if (result == 1) {
        ++handshakes_;
        Backend backend(backend_port_);
        if (backend.ok()) {
            relay(ssl, client, backend);
        } else {
            tp::close_socket(client);
        }
    } else {
        drain(client, stop_);
        tp::close_socket(client);
    }
    SSL_free(ssl);
    ERR_clear_error();
}

void TlsFront::relay(SSL* ssl, tp::sock client, Backend& backend) {
    char buffer[16384];
    while (!stop_) {
        ERR_clear_error();
        int got = SSL_read(ssl, buffer, sizeof buffer);
        if (got > 0) {
            if (!backend.send(buffer, static_cast<std::size_t>(got))) break;
            continue;
        }
        int error = SSL_get_error(ssl, got);
        if (error == SSL_ERROR_ZERO_RETURN) ++close_notifies_;
        if (error != SSL_ERROR_WANT_READ) break;  // the client went

        long answer = backend.receive(buffer, sizeof buffer);
        if (answer > 0) {
            if (SSL_write(ssl, buffer, static_cast<int>(answer)) <= 0) break;
        } else if (answer == 0 && !reset_always_) {
            SSL_shutdown(ssl);  // close_notify, then FIN
            tp::close_socket(client);
            return;
        } else if (answer == Backend::reset || answer == 0) {
            tp::reset_socket(client);
            return;
        }
    }
    tp::close_socket(client);
}

}  // namespace qtest
