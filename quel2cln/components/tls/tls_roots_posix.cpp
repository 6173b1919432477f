// The system's trust store on POSIX: OpenSSL's default certificate file and
// directory (Debian: /etc/ssl/certs), or SSL_CERT_FILE / SSL_CERT_DIR.
#include "components/tls/tls_roots.h"

namespace orbl::net {

bool use_system_trust(SSL_CTX* ctx) {
    return X509_STORE_set_default_paths(SSL_CTX_get_cert_store(ctx)) == 1;
}

}  // namespace orbl::net
