// TLS channel with OpenSSL, the same on every platform. The TLS library
// talks to the socket through a BIO of our own that calls the platform layer
// (net_*.cpp), so socket errors keep their codes and no call can raise
// SIGPIPE. One context is kept per load of the security parameters, so the
// trust store and the client key are read once rather than per connection.
#include "components/tls/tls.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "components/net/net_errors.h"
#include "components/files/paths.h"
#include "components/net/socket.h"
#include "components/text/secret.h"
#include "components/text/text.h"
#include "components/tls/tls_roots.h"
#include "components/trace/trace.h"

namespace orbl {

namespace {

struct free_ctx {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct free_ssl {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct free_bio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct free_method {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};
struct free_x509 {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct free_pkey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct free_infos {
    void operator()(STACK_OF(X509_INFO) * infos) const {
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
};
using bio_ptr = std::unique_ptr<BIO, free_bio>;

// The reason of the earliest error in this thread's OpenSSL queue (the
// cause; later entries only say which call gave up); empties the queue.
std::string tls_reason() {
    unsigned long first = ERR_get_error();
    ERR_clear_error();
    const char* reason = first ? ERR_reason_error_string(first) : nullptr;
    return reason ? reason : "";
}

socket_error tls_error(const char* text, const std::string& reason) {
    return socket_error(socket_code::tls_failure, reason.empty() ? text : std::string(text) + ": " + reason);
}

[[noreturn]] void fail(const char* text) {
    throw tls_error(text, tls_reason());
}

// The most a PEM file of the settings may hold.
constexpr std::size_t max_pem_bytes = 16u << 20;

void read_or_fail(const std::wstring& path, secret_string& contents, const char* text) {
    int os_error = 0;
    if (read_file(path, contents, max_pem_bytes, &os_error) != file_status::read) {
        wipe(contents);
        quel::trace::file_failure(text, path, os_error);
        throw socket_error(socket_code::tls_failure, text);
    }
}

bio_ptr memory_bio(const secret_string& contents, const char* text) {
    if (contents.size() > 0x7FFFFFFF) throw socket_error(socket_code::tls_failure, text);
    bio_ptr bio(BIO_new_mem_buf(contents.data(), static_cast<int>(contents.size())));
    if (!bio) fail(net::tls_setup_text);
    return bio;
}

// Hands the key password (UTF-8) to the PEM reader. Never prompts: an
// encrypted key without a password simply fails to decrypt.
int password_callback(char* buffer, int size, int, void* user) {
    const auto* password = static_cast<const secret_string*>(user);
    if (!password || size <= 0) return 0;
    int length = static_cast<int>(std::min<std::size_t>(password->size(), static_cast<std::size_t>(size)));
    std::memcpy(buffer, password->data(), static_cast<std::size_t>(length));
    return length;
}

void load_ca_file(SSL_CTX* ctx, const std::wstring& path) {
    scoped_secret pem;
    read_or_fail(path, pem.bytes, net::tls_ca_file_text);
    bio_ptr bio = memory_bio(pem.bytes, net::tls_ca_file_text);
    std::unique_ptr<STACK_OF(X509_INFO), free_infos> infos(
        PEM_X509_INFO_read_bio(bio.get(), nullptr, password_callback, nullptr));
    if (!infos) fail(net::tls_ca_file_text);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int added = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
        X509* cert = sk_X509_INFO_value(infos.get(), i)->x509;
        if (!cert) continue;
        if (X509_STORE_add_cert(store, cert) != 1) fail(net::tls_ca_file_text);
        ++added;
    }
    if (added == 0) throw socket_error(socket_code::tls_failure, net::tls_ca_file_text);
}

void load_client_certificate(SSL_CTX* ctx, const socket_security_param& params) {
    scoped_secret cert_pem;  // may hold the key as well
    read_or_fail(params.cert_file, cert_pem.bytes, net::tls_cert_file_text);
    bio_ptr cert_bio = memory_bio(cert_pem.bytes, net::tls_cert_file_text);
    std::unique_ptr<X509, free_x509> leaf(
        PEM_read_bio_X509_AUX(cert_bio.get(), nullptr, password_callback, nullptr));
    if (!leaf || SSL_CTX_use_certificate(ctx, leaf.get()) != 1) fail(net::tls_cert_file_text);
    // Further certificates in the file are the chain sent with it.
    while (X509* intermediate = PEM_read_bio_X509(cert_bio.get(), nullptr, password_callback, nullptr)) {
        if (SSL_CTX_add0_chain_cert(ctx, intermediate) != 1) {
            X509_free(intermediate);
            fail(net::tls_cert_file_text);
        }
    }
    ERR_clear_error();  // the loop ends at the end of the file

    scoped_secret key_pem;
    if (!params.key_file.empty()) read_or_fail(params.key_file, key_pem.bytes, net::tls_key_file_text);
    const secret_string& key_source = params.key_file.empty() ? cert_pem.bytes : key_pem.bytes;
    bio_ptr key_bio = memory_bio(key_source, net::tls_key_file_text);
    scoped_secret password{secret_wide_to_utf8(params.key_password)};
    std::unique_ptr<EVP_PKEY, free_pkey> key(
        PEM_read_bio_PrivateKey(key_bio.get(), nullptr, password_callback, &password.bytes));
    if (!key) fail(net::tls_key_file_text);
    if (X509_check_private_key(leaf.get(), key.get()) != 1) fail(net::tls_key_mismatch_text);
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) fail(net::tls_key_file_text);
}

// The process-wide parameters, copied for this connection only; the copy
// of the password is wiped when it goes.
struct params_copy {
    socket_security_param params = get_socket_security_params();
    ~params_copy() { wipe(params.key_password); }
};

std::unique_ptr<SSL_CTX, free_ctx> make_context() {
    // No configuration file is read: what a connection accepts depends on
    // the security parameters alone, on every platform. No clean-up at exit:
    // linked statically (Windows), OpenSSL's exit handler would run when the
    // library unloads, before the connection still open is closed with it.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr);
    std::unique_ptr<SSL_CTX, free_ctx> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1) fail(net::tls_setup_text);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
    // End of stream without close_notify is an orderly close, as on a plain
    // socket; the message frame notices a message cut short.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
#endif

    params_copy copy;
    if (!copy.params.ca_file.empty()) {
        load_ca_file(ctx.get(), copy.params.ca_file);
    } else if (!net::use_system_trust(ctx.get())) {
        fail(net::tls_trust_store_text);
    }
    if (!copy.params.cert_file.empty()) load_client_certificate(ctx.get(), copy.params);
    return ctx;
}

// The context of the current security parameters. Each channel holds a
// reference of its own, so dropping the kept one never pulls it from under
// an open connection. A context that fails to build is not kept: the next
// connection tries again and reports the failure again.
struct kept_context {
    SSL_CTX* ctx = nullptr;
    std::uint64_t load = 0;
    ~kept_context() { SSL_CTX_free(ctx); }
};

std::unique_ptr<SSL_CTX, free_ctx> current_context() {
    static kept_context kept;
    std::uint64_t load = socket_security_params_load();
    if (kept.ctx && kept.load != load) {
        SSL_CTX_free(kept.ctx);  // built from replaced parameters
        kept.ctx = nullptr;
    }
    if (!kept.ctx) {
        kept.ctx = make_context().release();
        kept.load = load;
    }
    if (SSL_CTX_up_ref(kept.ctx) != 1) fail(net::tls_setup_text);
    return std::unique_ptr<SSL_CTX, free_ctx>(kept.ctx);
}

class tls_channel : public channel {
public:
    explicit tls_channel(net::handle socket) : socket_(socket) {}

    ~tls_channel() override {
        // Best effort close_notify; the socket is closed right after.
        if (ssl_ && connected_ && !broken_) SSL_shutdown(ssl_.get());
        ssl_.reset();
        ctx_.reset();
        method_.reset();
        ERR_clear_error();
        net::close(socket_);
    }

    void start(const std::wstring& host, int security_level, int timeout_ms) {
        ctx_ = current_context();
        ssl_.reset(SSL_new(ctx_.get()));
        if (!ssl_) fail(net::tls_setup_text);
        attach_socket();
        set_host(wide_to_utf8(host), security_level);
        handshake(timeout_ms);
        if (quel::trace::on()) trace_session();
    }

    void trace_session() {
        char subject[512] = "none";
        if (X509* peer = SSL_get_peer_certificate(ssl_.get())) {
            if (!X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject))
                std::strcpy(subject, "none");
            X509_free(peer);
        }
        quel::trace::line("tls", [&] {
            return std::string(" protocol=") + SSL_get_version(ssl_.get()) +
                   " cipher=" + SSL_get_cipher_name(ssl_.get()) + quel::trace::text_field("subject", subject);
        });
    }

    // Decrypted bytes already held are read without the socket. Otherwise
    // the wait is armed in the BIO: the first socket call that OpenSSL
    // makes may wait up to `wait_ms`, inside the system call itself where
    // the platform allows it, and the rest take only what is at hand.
    long read(char* buffer, std::size_t size, int wait_ms) override {
        armed_wait armed{*this, SSL_pending(ssl_.get()) > 0 ? 0 : wait_ms};
        std::size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_.get(), buffer, size, &got) == 1) return static_cast<long>(got);
        return failed(SSL_get_error(ssl_.get(), 0));
    }

    long write(const char* data, std::size_t size, int wait_ms) override {
        armed_wait armed{*this, wait_ms};
        std::size_t sent = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_.get(), data, size, &sent) == 1) return static_cast<long>(sent);
        long result = failed(SSL_get_error(ssl_.get(), 0));
        if (result == 0) throw net::make_error(socket_code::closed_by_peer);
        return result;
    }

private:
    void attach_socket() {
        // One type number for the library's lifetime: OpenSSL hands out
        // only a few hundred.
        static const int type = BIO_get_new_index() | BIO_TYPE_SOURCE_SINK;
        method_.reset(BIO_meth_new(type, "quel2cln socket"));
        if (!method_ || BIO_meth_set_read(method_.get(), bio_read) != 1 ||
            BIO_meth_set_write(method_.get(), bio_write) != 1 ||
            BIO_meth_set_ctrl(method_.get(), bio_ctrl) != 1)
            fail(net::tls_setup_text);
        BIO* bio = BIO_new(method_.get());
        if (!bio) fail(net::tls_setup_text);
        BIO_set_data(bio, this);
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_.get(), bio, bio);  // the SSL owns the BIO from here
    }

    void set_host(const std::string& host, int security_level) {
        bool numeric = net::is_numeric_address(utf8_to_wide(host));
        // SNI names the host whenever it is a name (never for an address).
        if (!numeric && SSL_set_tlsext_host_name(ssl_.get(), host.c_str()) != 1) fail(net::tls_setup_text);
        if (security_level < 2) return;
        X509_VERIFY_PARAM* check = SSL_get0_param(ssl_.get());
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        int ok = numeric ? X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str())
                         : X509_VERIFY_PARAM_set1_host(check, host.c_str(), host.size());
        if (ok != 1) throw tls_error(net::tls_host_mismatch_text, tls_reason());
    }

    void handshake(int timeout_ms) {
        std::int64_t deadline = net::now_ms() + timeout_ms;
        for (;;) {
            ERR_clear_error();
            int result = SSL_connect(ssl_.get());
            if (result == 1) break;
            int error = SSL_get_error(ssl_.get(), result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                broken_ = true;
                throw handshake_error();
            }
            std::int64_t left = std::max<std::int64_t>(deadline - net::now_ms(), 0);
            if (!net::wait(socket_, error == SSL_ERROR_WANT_WRITE, call_bounded_wait(static_cast<int>(left)))) {
                check_call_deadline();
                throw net::make_error(socket_code::timed_out);
            }
        }
        connected_ = true;
    }

    socket_error handshake_error() {
        if (io_error_) return *io_error_;
        long verify = SSL_get_verify_result(ssl_.get());
        if (verify != X509_V_OK) {
            ERR_clear_error();
            if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
                return socket_error(socket_code::tls_failure, net::tls_host_mismatch_text);
            return tls_error(net::tls_verify_failed_text, X509_verify_cert_error_string(verify));
        }
        std::string reason = tls_reason();
        return tls_error(net::tls_handshake_text,
                         reason.empty() ? std::string(net::closed_by_peer_text) : reason);
    }

    // Sets the BIO's wait for one read or write of the channel, and clears
    // it afterwards (also when the call throws).
    struct armed_wait {
        armed_wait(tls_channel& owner, int wait_ms) : owner_(owner) { owner_.bio_wait_ms_ = wait_ms; }
        ~armed_wait() { owner_.bio_wait_ms_ = 0; }
        tls_channel& owner_;
    };

    // -1 when nothing came (or no room) within the wait, 0 at an orderly
    // end of stream; throws on a failure.
    long failed(int error) {
        switch (error) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: return -1;
        case SSL_ERROR_ZERO_RETURN: return 0;  // close_notify
        default: break;
        }
        broken_ = true;
        if (io_error_) {
            socket_error failure = *io_error_;
            io_error_.reset();
            ERR_clear_error();
            throw failure;
        }
        // End of stream without close_notify (older OpenSSL reports it so).
        if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;
        fail(net::tls_failure_text);
    }

    // The BIO's calls into the platform layer. No exception may pass
    // through OpenSSL: a socket failure is kept and rethrown by failed().
    static int bio_read(BIO* bio, char* buffer, int size) {
        auto* self = static_cast<tls_channel*>(BIO_get_data(bio));
        BIO_clear_retry_flags(bio);
        if (size <= 0) return 0;
        try {
            long count = net::receive_within(self->socket_, buffer, static_cast<std::size_t>(size),
                                             self->take_wait(), self->kept_wait_ms_);
            if (count < 0) BIO_set_retry_read(bio);
            return static_cast<int>(count);
        } catch (const socket_error& error) {
            self->io_error_ = error;
            return -1;
        }
    }

    static int bio_write(BIO* bio, const char* data, int size) {
        auto* self = static_cast<tls_channel*>(BIO_get_data(bio));
        BIO_clear_retry_flags(bio);
        if (size <= 0) return 0;
        try {
            long count = net::send_within(self->socket_, data, static_cast<std::size_t>(size), self->take_wait());
            if (count < 0) BIO_set_retry_write(bio);
            return static_cast<int>(count);
        } catch (const socket_error& error) {
            self->io_error_ = error;
            return -1;
        }
    }

    // The armed wait, for the first socket call of a channel call only.
    int take_wait() {
        int wait_ms = bio_wait_ms_;
        bio_wait_ms_ = 0;
        return wait_ms;
    }

    static long bio_ctrl(BIO*, int command, long, void*) {
        return command == BIO_CTRL_FLUSH ? 1 : 0;
    }

    net::handle socket_;
    std::unique_ptr<BIO_METHOD, free_method> method_;
    std::unique_ptr<SSL_CTX, free_ctx> ctx_;
    std::unique_ptr<SSL, free_ssl> ssl_;
    std::optional<socket_error> io_error_;
    int bio_wait_ms_ = 0;      // the next BIO call may wait this long (0: not at all)
    int kept_wait_ms_ = -2;    // the wait limit last set on the socket
    bool connected_ = false;
    bool broken_ = false;
};

}  // namespace

bool is_tls_level(int security_level) {
    return security_level == 1 || security_level == 2;
}

std::string tls_library_version() {
    // "OpenSSL 3.0.22 25 Aug 2026": the second word.
    const std::string text = OpenSSL_version(OPENSSL_VERSION);
    const auto start = text.find(' ');
    if (start == std::string::npos) return text;
    const auto end = text.find(' ', start + 1);
    return text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

std::unique_ptr<channel> make_tls_channel(net::handle socket, const std::wstring& host,
                                          int security_level, int timeout_ms) {
    std::unique_ptr<tls_channel> stream;
    try {
        stream = std::make_unique<tls_channel>(socket);
    } catch (...) {
        net::close(socket);
        throw;
    }
    try {
        stream->start(host, security_level, timeout_ms);
    } catch (...) {
        ERR_clear_error();
        throw;
    }
    return stream;
}

}  // namespace orbl
