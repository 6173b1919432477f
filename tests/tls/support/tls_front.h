#pragma once
// A TLS front for the loopback test server: it accepts TLS connections on
// 127.0.0.1, one after the other, and relays the decrypted bytes to the
// TestServer and its answers back, so every scripted answer works over TLS.
// A reset of the server's side becomes a reset of the client's connection;
// an orderly close becomes close_notify and an orderly close.

#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/platform.h"
#include "tls/support/test_pki.h"

namespace qtest {

class Backend;

class TlsFront {
public:
    // Shows `identity`; with `client_ca`, demands a client certificate
    // signed by it. TLS 1.3 unless `max_version` says otherwise.
    TlsFront(int backend_port, const Identity& identity, const Identity* client_ca = nullptr,
             int max_version = 0);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    bool ok() const { return ctx_ != nullptr && listener_ != test_platform::no_sock; }
    int port() const { return port_; }
    // Handshakes that completed.
    int handshakes() const { return handshakes_; }
    // Clients that ended their connection with close_notify; counted before
    // the server's side of that connection is closed.
    int close_notifies() const { return close_notifies_; }
    // Resets the client's connection whenever the server's side ends, also
    // by an orderly close. (Under Wine a reset of the server's side can
    // look like an orderly close to the relay.)
    void reset_when_server_closes(bool on) { reset_always_ = on; }

private:
    void run();
    void serve(test_platform::sock client);
    void relay(SSL* ssl, test_platform::sock client, Backend& backend);

    int backend_port_;
    SSL_CTX* ctx_ = nullptr;
    test_platform::sock listener_ = test_platform::no_sock;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> handshakes_{0};
    std::atomic<int> close_notifies_{0};
    std::atomic<bool> reset_always_{false};
    std::thread thread_;
};

}  // namespace qtest
