#pragma once
// TLS on top of a connected socket (tls_openssl.cpp, used by every
// platform). Security levels:
//   1  TLS 1.2 or newer; the server's chain must verify against the CA file
//      of the security parameters, or the system's trust store without one.
//   2  as 1, and the certificate must match the host name (or the numeric
//      address) the connection was made for.
// A client certificate is presented when the parameters name one.
//
// Failures are socket_error with code net::tls_failure and one of the texts
// below, followed by ": " and the TLS library's reason when it gave one;
// failures of the socket itself keep their own code (10054, 10053, ...).

#include <memory>
#include <string>

#include "components/channel.h"
#include "components/net.h"

namespace orbl {

namespace net {
extern const char* const tls_ca_file_text;         // "cannot read CA file"
extern const char* const tls_trust_store_text;     // "cannot read system trust store"
extern const char* const tls_cert_file_text;       // "cannot read certificate file"
extern const char* const tls_key_file_text;        // "cannot read key file or wrong key password"
extern const char* const tls_key_mismatch_text;    // "key does not match certificate"
extern const char* const tls_verify_failed_text;   // "certificate verify failed"
extern const char* const tls_host_mismatch_text;   // "certificate does not match host name"
extern const char* const tls_handshake_text;       // "tls handshake failed"
extern const char* const tls_setup_text;           // "tls setup failed"
extern const char* const tls_failure_text;         // "tls failure" (after the handshake)
}  // namespace net

bool is_tls_level(int security_level);

// Takes ownership of the connected socket `socket` (closed on failure too),
// performs the TLS handshake for `host` within `timeout_ms` milliseconds
// with the process-wide security parameters, and returns the channel.
std::unique_ptr<channel> make_tls_channel(net::handle socket, const std::wstring& host,
                                          int security_level, int timeout_ms);

}  // namespace orbl
