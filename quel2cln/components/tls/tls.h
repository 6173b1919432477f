#pragma once
// Room tls/: transport security.
//   tls.h, tls_openssl.cpp  the TLS channel over OpenSSL, with its BIO on
//                    the library's own socket calls
//   tls_roots.h, tls_roots_posix.cpp, tls_roots_win32.cpp  where the
//                    server's chain is checked without a CA file
//   random_win32.cpp the random source OpenSSL is seeded from on Windows
//
// TLS on top of a connected socket (tls_openssl.cpp, used by every
// platform). Security levels:
//   1  TLS 1.2 or newer; the server's chain must verify against the CA file
//      of the security parameters, or the system's trust store without one.
//   2  as 1, and the certificate must match the host name (or the numeric
//      address) the connection was made for.
// A client certificate is presented when the parameters name one.
//
// Failures are socket_error with code socket_code::tls_failure and one of
// the texts of net_errors.h, followed by ": " and the TLS library's reason
// when it gave one; failures of the socket itself keep their own code
// (10054, 10053, ...).

#include <memory>
#include <string>

#include "components/net/channel.h"
#include "components/net/net.h"
#include "components/net/net_errors.h"

namespace orbl {

bool is_tls_level(int security_level);

// The version of the TLS library in use, e.g. "3.0.22": the one linked in
// (Windows) or the system's (Linux).
std::string tls_library_version();

// Takes ownership of the connected socket `socket` (closed on failure too),
// performs the TLS handshake for `host` within `timeout_ms` milliseconds
// with the process-wide security parameters, and returns the channel.
std::unique_ptr<channel> make_tls_channel(net::handle socket, const std::wstring& host,
                                          int security_level, int timeout_ms);

}  // namespace orbl
