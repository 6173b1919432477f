// The system's trust store on Windows: the certificates of the ROOT system
// store, copied into the OpenSSL store (OpenSSL cannot read it itself).
// CRYPT32 is loaded from System32 (components/system_dll_win32.h).
#include <windows.h>
#include <wincrypt.h>

#include "components/system_dll_win32.h"
#include "components/tls_roots.h"

namespace orbl::net {

bool load_system_roots(X509_STORE* store) {
    using win32::system_function;
    auto open_store =
        system_function<decltype(&::CertOpenSystemStoreW)>(L"crypt32.dll", "CertOpenSystemStoreW");
    auto next_cert = system_function<decltype(&::CertEnumCertificatesInStore)>(
        L"crypt32.dll", "CertEnumCertificatesInStore");
    auto close_store =
        system_function<decltype(&::CertCloseStore)>(L"crypt32.dll", "CertCloseStore");
    if (!open_store || !next_cert || !close_store) return false;

    HCERTSTORE roots = open_store(0, L"ROOT");
    if (!roots) return false;
    PCCERT_CONTEXT context = nullptr;
    while ((context = next_cert(roots, context)) != nullptr) {
        if (context->dwCertEncodingType != X509_ASN_ENCODING) continue;
        const unsigned char* der = context->pbCertEncoded;
        X509* cert = d2i_X509(nullptr, &der, static_cast<long>(context->cbCertEncoded));
        // A certificate OpenSSL cannot parse is skipped, like a duplicate.
        if (cert) {
            X509_STORE_add_cert(store, cert);
            X509_free(cert);
        }
    }
    close_store(roots, 0);
    return true;
}

}  // namespace orbl::net
