#pragma once
// TLS in front of the stub: accepts TLS connections on the public address
// and relays each one, decrypted, to the stub's own plain listener on
// loopback, so rules, journal and actions work unchanged. A reset of the
// plain side becomes a reset of the TLS connection; an orderly close
// becomes close_notify and an orderly close.

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "server.h"

namespace stub {

struct tls_settings {
    std::string cert_file;       // PEM: certificate, then its chain
    std::string key_file;        // PEM key; empty: taken from cert_file
    std::string client_ca_file;  // non-empty: demand a client certificate signed by it
};

class tls_front {
public:
    // Loads the files; throws std::runtime_error with a fixed text and
    // OpenSSL's reason.
    explicit tls_front(const tls_settings& settings);
    ~tls_front();
    tls_front(const tls_front&) = delete;
    tls_front& operator=(const tls_front&) = delete;

    // Binds the public address, as server::listen does; returns it.
    std::string listen(const listen_address& address);
    // Relays every connection accepted to `backend_port` on 127.0.0.1, on
    // a thread of its own, until the destructor.
    void start(int backend_port);

private:
    void accept_loop();
    void serve(int client);

    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    int backend_port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    // Connection threads run detached; the destructor waits for them.
    std::mutex mutex_;
    std::condition_variable finished_;
    int active_ = 0;
};

}  // namespace stub
