#pragma once
// TLS in front of the stub: accepts TLS connections on the public address
// and relays each one, decrypted, to the stub's own plain listener on
// loopback, so rules, journal and actions work unchanged. A reset of the
// plain side becomes a reset of the TLS connection; an orderly close
// becomes close_notify and an orderly close.
//
// One thread relays every connection with non-blocking sockets and poll(),
// so no client can block it, and stopping it never waits on a client.

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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
    // OpenSSL's reason. The limits are those of the plain server: the
    // same connection limit and policy, and the idle time-out (the
    // handshake has its own bound of 10 s).
    tls_front(const tls_settings& settings, const server_limits& limits);
    ~tls_front();
    tls_front(const tls_front&) = delete;
    tls_front& operator=(const tls_front&) = delete;

    // Binds the public address, as server::listen does; returns it.
    std::string listen(const listen_address& address);
    // Relays every connection accepted to `backend_port` on 127.0.0.1, on
    // a thread of its own, until the destructor. Throws std::runtime_error
    // when the thread cannot be started.
    void start(int backend_port);

private:
    struct link;

    void run();
    bool accept_all();  // false: out of descriptors, stop accepting for now
    bool make_room();
    void pump(link& l, short backend_events);
    bool handshake(link& l);
    void drain(link& l);
    bool relay(link& l);
    void close_link(link& l, bool reset);
    int poll_timeout() const;

    SSL_CTX* ctx_ = nullptr;
    server_limits limits_;
    int listener_ = -1;
    int backend_port_ = 0;
    int wake_[2] = {-1, -1};  // written by the destructor to end the loop at once
    std::thread loop_;
    std::vector<std::unique_ptr<link>> links_;
};

}  // namespace stub
