// The system's trust store on Windows: the certificates of the ROOT system
// store, copied into the OpenSSL store (OpenSSL cannot read it itself).
#include <windows.h>
#include <wincrypt.h>

#include "components/tls_roots.h"

namespace orbl::net {

bool load_system_roots(X509_STORE* store) {
    HCERTSTORE roots = ::CertOpenSystemStoreW(0, L"ROOT");
    if (!roots) return false;
    PCCERT_CONTEXT context = nullptr;
    while ((context = ::CertEnumCertificatesInStore(roots, context)) != nullptr) {
        if (context->dwCertEncodingType != X509_ASN_ENCODING) continue;
        const unsigned char* der = context->pbCertEncoded;
        X509* cert = d2i_X509(nullptr, &der, static_cast<long>(context->cbCertEncoded));
        // A certificate OpenSSL cannot parse is skipped, like a duplicate.
        if (cert) {
            X509_STORE_add_cert(store, cert);
            X509_free(cert);
        }
    }
    ::CertCloseStore(roots, 0);
    return true;
}

}  // namespace orbl::net
