#pragma once
// The system's trust store, loaded into an OpenSSL certificate store. One
// implementation per platform (tls_roots_posix.cpp, tls_roots_win32.cpp).

#include <openssl/x509.h>

namespace orbl::net {

// False when the store could not be read at all.
bool load_system_roots(X509_STORE* store);

}  // namespace orbl::net
