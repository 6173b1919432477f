#include "tls/support/test_pki.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <initializer_list>

#include "support/platform.h"

namespace qtest {

const char* const TestPki::key_password = "pa55 word";

namespace {

constexpr long day = 24 * 60 * 60;

std::shared_ptr<EVP_PKEY> make_key() {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
    if (ctx && EVP_PKEY_keygen_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx, NID_X9_62_prime256v1) == 1)
        EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return std::shared_ptr<EVP_PKEY>(key, KeyFree());
}

bool add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

struct cert_plan {
    const char* common_name;
    const char* alt_names;  // nullptr: none
    bool is_ca;
    long valid_from;        // seconds from now
    long valid_until;
};

// Signed by `issuer`, or self-signed when `issuer` is null.
Identity make_identity(const cert_plan& plan, const Identity* issuer) {
    static long serial = 1;
    Identity made{std::shared_ptr<X509>(X509_new(), X509Free()), make_key()};
    X509* cert = made.cert.get();
    if (!cert || !made.key) return {};
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(plan.common_name), -1, -1, 0);
    X509* issuer_cert = issuer ? issuer->cert.get() : cert;
    EVP_PKEY* issuer_key = issuer ? issuer->key.get() : made.key.get();
    bool ok = X509_set_version(cert, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial) == 1 &&
              X509_set_issuer_name(cert, X509_get_subject_name(issuer_cert)) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert), plan.valid_from) &&
              X509_gmtime_adj(X509_getm_notAfter(cert), plan.valid_until) &&
              X509_set_pubkey(cert, made.key.get()) == 1 &&
              add_extension(cert, issuer_cert, NID_basic_constraints,
                            plan.is_ca ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
              add_extension(cert, issuer_cert, NID_subject_key_identifier, "hash") &&
              (!plan.alt_names ||
               add_extension(cert, issuer_cert, NID_subject_alt_name, plan.alt_names)) &&
              X509_sign(cert, issuer_key, EVP_sha256()) > 0;
    return ok ? made : Identity{};
}

bool write_pem(const std::string& path, const X509* cert, EVP_PKEY* key, const char* password) {
    BIO* bio = BIO_new_file(path.c_str(), "w");
    if (!bio) return false;
    bool ok = true;
    if (cert) ok = PEM_write_bio_X509(bio, const_cast<X509*>(cert)) == 1;
    if (ok && key) {
        ok = password ? PEM_write_bio_PKCS8PrivateKey(bio, key, EVP_aes_256_cbc(), nullptr, 0,
                                                      nullptr, const_cast<char*>(password)) == 1
                      : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    }
    BIO_free(bio);
    return ok;
}

}  // namespace

TestPki::TestPki(const std::string& dir) : dir_(dir) {
    const char* local = "DNS:localhost,IP:127.0.0.1";
    ca = make_identity({"quel2cln test ca", nullptr, true, -day, 30 * day}, nullptr);
    other_ca = make_identity({"quel2cln other ca", nullptr, true, -day, 30 * day}, nullptr);
    if (!ca.cert || !other_ca.cert) {
        error_ = "cannot make the test CAs";
        return;
    }
    server = make_identity({"localhost", local, false, -day, 30 * day}, &ca);
    server_other = make_identity({"other.example", "DNS:other.example", false, -day, 30 * day}, &ca);
    server_unknown = make_identity({"localhost", local, false, -day, 30 * day}, &other_ca);
    server_expired = make_identity({"localhost", local, false, -30 * day, -day}, &ca);
    client = make_identity({"quel2cln test client", nullptr, false, -day, 30 * day}, &ca);
    Identity stranger{nullptr, make_key()};
    for (const Identity* made : {&server, &server_other, &server_unknown, &server_expired, &client})
        if (!made->cert) error_ = "cannot make a test certificate";
    if (!error_.empty() || !stranger.key) return;

    bool written = write_pem(path("ca.pem"), ca.cert.get(), nullptr, nullptr) &&
                   write_pem(path("other_ca.pem"), other_ca.cert.get(), nullptr, nullptr) &&
                   write_pem(path("client.pem"), client.cert.get(), nullptr, nullptr) &&
                   write_pem(path("client.key"), nullptr, client.key.get(), key_password) &&
                   write_pem(path("client_plain.key"), nullptr, client.key.get(), nullptr) &&
                   write_pem(path("client_combined.pem"), client.cert.get(), client.key.get(), nullptr) &&
                   write_pem(path("stranger.key"), nullptr, stranger.key.get(), nullptr);
    if (!written) error_ = "cannot write the test certificates";
    ERR_clear_error();
}

std::string TestPki::path(const char* name) const {
    return test_platform::join_path(dir_, name);
}

}  // namespace qtest
