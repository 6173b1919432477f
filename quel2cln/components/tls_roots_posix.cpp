// The system's trust store on POSIX: OpenSSL's default certificate file and
// directory (Debian: /etc/ssl/certs), or SSL_CERT_FILE / SSL_CERT_DIR.
#include "components/tls_roots.h"

namespace orbl::net {

bool load_system_roots(X509_STORE* store) {
    return X509_STORE_set_default_paths(store) == 1;
}

}  // namespace orbl::net
