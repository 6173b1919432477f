// The system's trust on Windows: without a CA file, the server's chain is
// verified by the Windows chain engine (CertGetCertificateChain) and its
// SSL policy (CertVerifyCertificateChainPolicy with CERT_CHAIN_POLICY_SSL),
// in place of OpenSSL's own check. Windows then applies what it knows about
// its roots: the Disallowed store, roots disabled or restricted by their
// properties, and the download of roots it does not hold yet.
//
// CRYPT32 is not a KnownDLL, so the loader would look for it in the host's
// application directory first. It is loaded from System32 explicitly when a
// connection is verified (components/win32/system_dll_win32.h), and stays loaded.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS  // dwUrlRetrievalTimeout
#include <windows.h>
#include <wincrypt.h>

#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

#include "components/win32/system_dll_win32.h"
#include "components/text/text.h"
#include "components/tls/tls_roots.h"
#include "components/tls/tls_roots_win32.h"

namespace orbl::net {

void set_chain_parameters(CERT_CHAIN_PARA& para, LPSTR* usages) {
    para = CERT_CHAIN_PARA{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    para.dwUrlRetrievalTimeout = chain_url_timeout_ms;
}

namespace {

struct crypt32_api {
    decltype(&::CertOpenStore) open_store;
    decltype(&::CertCloseStore) close_store;
    decltype(&::CertAddEncodedCertificateToStore) add_encoded;
    decltype(&::CertFreeCertificateContext) free_context;
    decltype(&::CertGetCertificateChain) get_chain;
    decltype(&::CertFreeCertificateChain) free_chain;
    decltype(&::CertVerifyCertificateChainPolicy) verify_policy;
};

template <typename Function>
bool find(const char* name, Function& function) {
    function = win32::system_function<Function>(L"crypt32.dll", name);
    return function != nullptr;
}

// False when CRYPT32 or one of its functions cannot be had.
bool load_crypt32(crypt32_api& api) {
    return find("CertOpenStore", api.open_store) && find("CertCloseStore", api.close_store) &&
           find("CertAddEncodedCertificateToStore", api.add_encoded) &&
           find("CertFreeCertificateContext", api.free_context) &&
           find("CertGetCertificateChain", api.get_chain) &&
           find("CertFreeCertificateChain", api.free_chain) &&
           find("CertVerifyCertificateChainPolicy", api.verify_policy);
}

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of wininet.h: the SSL policy leaves
// the name alone (level 1, or a numeric host, checked by OpenSSL below).
constexpr DWORD ignore_name = 0x00001000;

// The OpenSSL verification error that says the same as a Windows one, so
// the texts are those of a CA file's check.
int openssl_error_for(DWORD error) {
    switch (static_cast<HRESULT>(error)) {
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING: return X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
    case CERT_E_EXPIRED: return X509_V_ERR_CERT_HAS_EXPIRED;
    case CERT_E_CN_NO_MATCH: return X509_V_ERR_HOSTNAME_MISMATCH;
    case CERT_E_REVOKED: return X509_V_ERR_CERT_REVOKED;
    case CERT_E_WRONG_USAGE: return X509_V_ERR_INVALID_PURPOSE;
    case TRUST_E_CERT_SIGNATURE: return X509_V_ERR_CERT_SIGNATURE_FAILURE;
    default: return X509_V_ERR_CERT_UNTRUSTED;
    }
}

// The chain's own error bits that make it unusable whatever the policy
// says (Wine's SSL policy, for one, lets a partial chain pass). Bits that
// only report on revocation, which is not asked for, are left out.
int chain_error(DWORD status) {
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC))
        return X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) return X509_V_ERR_CERT_HAS_EXPIRED;
    if (status & CERT_TRUST_IS_REVOKED) return X509_V_ERR_CERT_REVOKED;
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return X509_V_ERR_CERT_SIGNATURE_FAILURE;
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return X509_V_ERR_INVALID_PURPOSE;
    constexpr DWORD other = CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_POLICY_CONSTRAINTS |
                            CERT_TRUST_INVALID_BASIC_CONSTRAINTS |
                            CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_IS_EXPLICIT_DISTRUST;
    return status & other ? X509_V_ERR_CERT_UNTRUSTED : X509_V_OK;
}

class chain_check {
public:
    explicit chain_check(const crypt32_api& api) : api_(api) {}
    ~chain_check() {
        if (chain_) api_.free_chain(chain_);
        if (leaf_) api_.free_context(leaf_);
        if (store_) api_.close_store(store_, 0);
    }
    chain_check(const chain_check&) = delete;
    chain_check& operator=(const chain_check&) = delete;

    // X509_V_OK, or the OpenSSL error for what Windows found.
    int run(X509* leaf, STACK_OF(X509) * sent, const wchar_t* host) {
        store_ = api_.open_store(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
        if (!store_ || !add(leaf, &leaf_)) return X509_V_ERR_UNSPECIFIED;
        // The server's intermediates help to build the chain; trust comes
        // only from the system's stores.
        for (int i = 0; i < sk_X509_num(sent); ++i) add(sk_X509_value(sent, i), nullptr);

        char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
        LPSTR usages[] = {server_auth};
        CERT_CHAIN_PARA para;
        set_chain_parameters(para, usages);
        if (!api_.get_chain(nullptr, leaf_, nullptr, store_, &para, 0, nullptr, &chain_))
            return X509_V_ERR_UNSPECIFIED;

        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = host ? 0 : ignore_name;
        ssl.pwszServerName = const_cast<wchar_t*>(host);
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        if (!api_.verify_policy(CERT_CHAIN_POLICY_SSL, chain_, &policy, &status))
            return X509_V_ERR_UNSPECIFIED;
        if (status.dwError != 0) return openssl_error_for(status.dwError);
        return chain_error(chain_->TrustStatus.dwErrorStatus);
    }

private:
    bool add(X509* cert, PCCERT_CONTEXT* added) {
        unsigned char* der = nullptr;
        int length = i2d_X509(cert, &der);
        if (length <= 0) return false;
        BOOL ok = api_.add_encoded(store_, X509_ASN_ENCODING, der, static_cast<DWORD>(length),
                                   CERT_STORE_ADD_USE_EXISTING, added);
        OPENSSL_free(der);
        return ok != FALSE;
    }

    const crypt32_api& api_;
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT leaf_ = nullptr;
    PCCERT_CHAIN_CONTEXT chain_ = nullptr;
};

// At level 2 the connection's parameters name the host: a DNS name goes to
// the SSL policy; a numeric address is matched by OpenSSL, since the
// policy matches names only.
int check_host(X509_STORE_CTX* store, X509* leaf, std::wstring& name) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (const char* host = X509_VERIFY_PARAM_get0_host(param, 0)) {
        name = utf8_to_wide(host);
        return X509_V_OK;
    }
    char* address = X509_VERIFY_PARAM_get1_ip_asc(param);
    if (!address) return X509_V_OK;
    int matched = X509_check_ip_asc(leaf, address, 0);
    OPENSSL_free(address);
    return matched == 1 ? X509_V_OK : X509_V_ERR_IP_ADDRESS_MISMATCH;
}

// Takes the place of OpenSSL's chain verification for the connection.
// Nothing may throw through OpenSSL.
int verify_with_windows(X509_STORE_CTX* store, void*) {
    int result = X509_V_ERR_UNSPECIFIED;
    try {
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        crypt32_api api{};
        bool loaded = load_crypt32(api);
        std::wstring host;
        if (leaf && loaded) result = check_host(store, leaf, host);
        if (leaf && loaded && result == X509_V_OK) {
            chain_check check(api);
            result = check.run(leaf, X509_STORE_CTX_get0_untrusted(store),
                               host.empty() ? nullptr : host.c_str());
        }
    } catch (...) {
        result = X509_V_ERR_OUT_OF_MEM;
    }
    X509_STORE_CTX_set_error(store, result);
    return result == X509_V_OK ? 1 : 0;
}

}  // namespace

bool use_system_trust(SSL_CTX* ctx) {
    crypt32_api api{};
    if (!load_crypt32(api)) return false;
    SSL_CTX_set_cert_verify_callback(ctx, verify_with_windows, nullptr);
    return true;
}

}  // namespace orbl::net
