#pragma once
// The system's trust, for connections without a CA file. One
// implementation per platform (tls_roots_posix.cpp, tls_roots_win32.cpp).

#include <openssl/ssl.h>

namespace orbl::net {

// Makes `ctx` verify the server's chain against the system's trust: on
// POSIX OpenSSL's default locations, on Windows the Windows chain engine.
// The host to match at level 2 is the one set in the connection's
// verification parameters. False when the system's trust cannot be used.
bool use_system_trust(SSL_CTX* ctx);

}  // namespace orbl::net
