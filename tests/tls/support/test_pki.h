#pragma once
// Certificates for the TLS tests, made at run time (nothing secret is kept
// in the repository): two CAs, server certificates for every case, and a
// client certificate whose key is stored encrypted.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace qtest {

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct Identity {
    std::shared_ptr<X509> cert;
    std::shared_ptr<EVP_PKEY> key;
};

class TestPki {
public:
    static const char* const key_password;

    // Makes everything and writes the client's files into `dir`:
    //   ca.pem             the CA that signs the good certificates
    //   other_ca.pem       a CA that signs nothing the server shows
    //   client.pem         client certificate (signed by ca.pem)
    //   client.key         its key, encrypted with key_password
    //   client_plain.key   the same key unencrypted
    //   client_combined.pem certificate and unencrypted key in one file
    //   stranger.key       a key that belongs to no certificate
    explicit TestPki(const std::string& dir);

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    std::string path(const char* name) const;

    Identity ca;
    Identity other_ca;
    Identity server;           // localhost and 127.0.0.1, signed by ca
    Identity server_other;     // other.example only, signed by ca
    Identity server_unknown;   // localhost and 127.0.0.1, signed by other_ca
    Identity server_expired;   // localhost and 127.0.0.1, signed by ca, expired
    Identity client;           // signed by ca

private:
    std::string dir_;
    std::string error_;
};

}  // namespace qtest
