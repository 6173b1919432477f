// Security levels 1 and 2 seen from a host: the built library, loaded by
// path, talks to the loopback test server through a TLS front that shows
// the certificate each case needs.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "components/net/socket.h"
#include "components/tls/tls.h"
#include "protocol/message.h"
#include "support/loaded_library.h"
#include "support/net_connect.h"
#include "support/platform.h"
#include "support/test_server.h"
#include "support/wire.h"
#include "tls/support/test_pki.h"
#include "tls/support/tls_front.h"

namespace qtest {
namespace {
namespace tp = test_platform;

struct Security {
    Security(int level, std::string ca, std::string cert = {}, std::string key = {},
             std::string password = {})
        : level(level), ca(std::move(ca)), cert(std::move(cert)), key(std::move(key)),
          password(std::move(password)) {}
    int level;
    std::string ca;  // file names as written into quel2cln.ini
    std::string cert;
    std::string key;
    std::string password;
};

class TlsEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pki_dir_ = tp::make_temp_dir();
        pki_ = new TestPki(pki_dir_);
    }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
        tp::remove_tree(pki_dir_);
    }
    void SetUp() override { ASSERT_TRUE(pki_->ok()) << pki_->error(); }

    static const TestPki& pki() { return *pki_; }
    static std::string file(const char* name) { return pki_->path(name); }

    // A fresh library whose quel2cln.ini holds `security`, initialised for
    // `host` and `port` (not initialised when port is 0).
    void load(const Security& security, const char* host = "127.0.0.1", int port = 0,
              const char* connect = "Attempts=3\nPause=1\n", const char* tail = "2000") {
        std::string ini = std::string("[Connect]\n") + connect +
                          "[Advanced]\nSocketTimeout=2000\nTailTimeout=" + tail +
                          "\n[Security]\nLevel=" + std::to_string(security.level) +
                          "\nCAFile=" + security.ca + "\nCertFile=" + security.cert +
                          "\nKeyFile=" + security.key + "\nKeyPswd=" + security.password + "\n";
        lib.reset();
        lib = std::make_unique<LoadedLibrary>(QUEL2CLN_LIBRARY_PATH, ini.c_str());
        ASSERT_TRUE(lib->ok()) << lib->error();
        if (port != 0) {
            ASSERT_TRUE(lib->Init(host, port)) << lib->last_error();
        }
    }

    // One ExecSQL; "" when it succeeded, the last error text otherwise.
    std::string exec() {
        return lib->ExecSQL("select 1", "", "") ? std::string() : lib->last_error();
    }

    TestServer server;
    std::unique_ptr<LoadedLibrary> lib;

private:
    static std::string pki_dir_;
    static TestPki* pki_;
};

std::string TlsEndToEnd::pki_dir_;
TestPki* TlsEndToEnd::pki_ = nullptr;

const char* const unknown_issuer = "certificate verify failed: unable to get local issuer certificate";
const char* const host_mismatch = "certificate does not match host name";

TEST_F(TlsEndToEnd, ServerCertificateIsVerified) {
    struct Case {
        const char* what;
        const Identity& shown;
        int level;
        const char* host;
        const char* ca;  // nullptr: the system's trust store
        std::string expected;
    };
    const Case cases[] = {
        {"right CA", pki().server, 1, "127.0.0.1", "ca.pem", ""},
        {"level 1 ignores the name", pki().server_other, 1, "localhost", "ca.pem", ""},
        {"wrong CA file", pki().server, 1, "127.0.0.1", "other_ca.pem", unknown_issuer},
        {"unknown issuer", pki().server_unknown, 1, "127.0.0.1", "ca.pem", unknown_issuer},
        {"system store", pki().server, 1, "127.0.0.1", nullptr, unknown_issuer},
        {"expired", pki().server_expired, 1, "127.0.0.1", "ca.pem",
         "certificate verify failed: certificate has expired"},
        {"name matches", pki().server, 2, "localhost", "ca.pem", ""},
        {"address matches", pki().server, 2, "127.0.0.1", "ca.pem", ""},
        {"name differs", pki().server_other, 2, "localhost", "ca.pem", host_mismatch},
        {"address differs", pki().server_other, 2, "127.0.0.1", "ca.pem", host_mismatch},
        {"level 2 still verifies the chain", pki().server_unknown, 2, "localhost", "ca.pem",
         unknown_issuer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TlsFront front(server.port(), c.shown);
        ASSERT_TRUE(front.ok());
        load({c.level, c.ca ? file(c.ca) : ""}, c.host, front.port());
        EXPECT_EQ(exec(), c.expected);
        EXPECT_EQ(front.handshakes(), c.expected.empty() ? 1 : 0);
    }
    // Only the successful cases reached the server.
    EXPECT_EQ(server.connections(), 4);
}

TEST_F(TlsEndToEnd, TlsVersionTwelveIsAccepted) {
    TlsFront front(server.port(), pki().server, nullptr, TLS1_2_VERSION);
    ASSERT_TRUE(front.ok());
    load({2, file("ca.pem")}, "localhost", front.port());
    EXPECT_EQ(exec(), "");
}

TEST_F(TlsEndToEnd, ClientCertificateAndKey) {
    const std::string password = TestPki::key_password;
    const std::string key_failure = "cannot read key file or wrong key password";
    struct Case {
        const char* what;
        std::string cert, key, password;
        std::string expected;  // "" for success; a failure text starts so
    };
    const Case cases[] = {
        {"encrypted key, right password", "client.pem", "client.key", password, ""},
        {"key without encryption", "client.pem", "client_plain.key", "", ""},
        {"certificate and key in one file", "client_combined.pem", "", "", ""},
        {"wrong password", "client.pem", "client.key", "bad-pass-7", key_failure + ": "},
        {"no password", "client.pem", "client.key", "", key_failure},
        {"key of another certificate", "client.pem", "stranger.key", "",
         "key does not match certificate"},
        {"missing certificate file", "missing.pem", "client.key", password,
         "cannot read certificate file"},
        {"missing key file", "client.pem", "missing.key", password, key_failure},
    };
    TlsFront front(server.port(), pki().server, &pki().ca);
    ASSERT_TRUE(front.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string key = c.key.empty() ? "" : file(c.key.c_str());
        load({1, file("ca.pem"), file(c.cert.c_str()), key, c.password}, "127.0.0.1", front.port());
        std::string error = exec();
        if (c.expected.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_EQ(error.substr(0, c.expected.size()), c.expected) << error;
            // No password ever shows in a text.
            EXPECT_EQ(error.find(password), std::string::npos);
            if (!c.password.empty()) {
                EXPECT_EQ(error.find(c.password), std::string::npos);
            }
        }
    }
    EXPECT_EQ(front.handshakes(), 3);
}

TEST_F(TlsEndToEnd, ServerDemandingACertificateRefusesAClientWithout) {
    // TLS 1.3 ends the handshake before the server has checked the client,
    // so the refusal arrives with the first reply; TLS 1.2 refuses during
    // the handshake. Neither is retried.
    struct Case {
        int max_version;
        const char* expected;
    };
    const Case cases[] = {
        {0, "(10071) tls failure: tlsv13 alert certificate required"},
        {TLS1_2_VERSION, "tls handshake failed: sslv3 alert handshake failure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.max_version);
        TlsFront front(server.port(), pki().server, &pki().ca, c.max_version);
        ASSERT_TRUE(front.ok());
        load({1, file("ca.pem")}, "127.0.0.1", front.port());
        EXPECT_EQ(exec(), c.expected);
    }
    EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(TlsEndToEnd, UnreadableCaFile) {
    // Also what is not a regular file, and a file above 16 MiB: neither is
    // read, nor waited on.
    const std::string dir = tp::make_temp_dir();
    const std::string fifo = tp::join_path(dir, "fifo.pem"), big = tp::join_path(dir, "big.pem");
    ASSERT_TRUE(tp::copy_file(file("ca.pem"), big));
    std::filesystem::resize_file(big, (16u << 20) + 1);
    std::vector<std::string> cases = {file("missing.pem"), file("client_plain.key"), big};
    if (tp::make_fifo(fifo)) cases.insert(cases.end(), {fifo, "/dev/zero"});
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    for (const std::string& ca : cases) {
        SCOPED_TRACE(ca);
        load({1, ca}, "127.0.0.1", front.port());
        std::string error = exec();
        EXPECT_EQ(error.substr(0, 19), "cannot read CA file") << error;
    }
    EXPECT_EQ(front.handshakes(), 0);
    tp::remove_tree(dir);
}

TEST_F(TlsEndToEnd, RelativeFileNamesAreTakenFromTheLibraryDirectory) {
    TlsFront front(server.port(), pki().server, &pki().ca);
    ASSERT_TRUE(front.ok());
    load({2, "ca.pem", "client.pem", "client.key", TestPki::key_password});
    for (const char* name : {"ca.pem", "client.pem", "client.key"})
        ASSERT_TRUE(tp::copy_file(file(name), tp::join_path(lib->dir(), name)));
    ASSERT_TRUE(lib->Init("localhost", front.port()));
    EXPECT_EQ(exec(), "");
    EXPECT_EQ(front.handshakes(), 1);
}

// The trust is read once per qm2_Init: a reconnect does not read the CA
// file again, the next qm2_Init does.
TEST_F(TlsEndToEnd, TrustIsLoadedOncePerInit) {
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    load({2, "ca.pem"});
    const std::string ca = tp::join_path(lib->dir(), "ca.pem");
    ASSERT_TRUE(tp::copy_file(file("ca.pem"), ca));
    ASSERT_TRUE(lib->Init("127.0.0.1", front.port()));
    EXPECT_EQ(exec(), "");
    ASSERT_TRUE(tp::write_file(ca, "not a certificate"));
    lib->Done();
    EXPECT_EQ(exec(), "");
    ASSERT_TRUE(lib->Init("127.0.0.1", front.port()));
    lib->Done();
    EXPECT_EQ(exec().substr(0, 19), "cannot read CA file");
    EXPECT_EQ(front.handshakes(), 2);
}

TEST_F(TlsEndToEnd, TraceNamesTheSessionButNeverTheKeyOrItsPassword) {
    TlsFront front(server.port(), pki().server, &pki().ca);
    ASSERT_TRUE(front.ok());
    load({2, file("ca.pem"), file("client.pem"), file("client.key"), TestPki::key_password},
         "localhost", front.port(), "Attempts=3\nPause=1\n", "2000\nTraceFile=trace.log");
    EXPECT_EQ(exec(), "");
    std::ifstream in(tp::join_path(lib->dir(), "trace.log"), std::ios::binary);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(trace.find(" tls protocol=TLSv1."), std::string::npos) << trace;
    EXPECT_NE(trace.find(" subject["), std::string::npos) << trace;
    EXPECT_EQ(trace.find(TestPki::key_password), std::string::npos) << trace;
    EXPECT_EQ(trace.find("PRIVATE KEY"), std::string::npos) << trace;
}

TEST_F(TlsEndToEnd, OtherLevelsAreRefused) {
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    for (int level : {3, -1, 100}) {
        SCOPED_TRACE(level);
        load({level, file("ca.pem")}, "127.0.0.1", front.port());
        EXPECT_EQ(exec(), "unsupported security level");
    }
    EXPECT_EQ(front.handshakes(), 0);
}

TEST_F(TlsEndToEnd, BrokenConnectionsAreRetriedAsOnPlainSockets) {
    struct Case {
        bool reset;
        const char* expected;
    };
    const Case cases[] = {
        {true, "(10054) connection reset by peer"},
        {false, "(0) connection closed by peer"},  // close_notify, then FIN
    };
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    server.set_default([](const Request&) { return close_connection(); });
    // How many tries a call makes is one rule for every transport (the
    // plain end-to-end table holds it); here, each try after the first is a
    // new connection with a handshake of its own.
    int tries = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        front.reset_when_server_closes(c.reset);
        load({2, file("ca.pem")}, "localhost", front.port());
        EXPECT_EQ(exec(), c.expected);
        EXPECT_GT(server.connections(), tries + 1);
        tries = server.connections();
        EXPECT_EQ(front.handshakes(), tries);
    }
}

TEST_F(TlsEndToEnd, ErrorReplyKeepsTheConnection) {
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    load({2, file("ca.pem")}, "localhost", front.port());
    server.script(error_reply("table \"x\" is locked"));
    server.script(reply(Wire().flag(false).u32(41)));
    EXPECT_EQ(exec(), "table \"x\" is locked");
    bool no_value = true;
    unsigned int value = 0;
    EXPECT_TRUE(lib->GetAutoInc("t", "f", "", &no_value, &value)) << lib->last_error();
    EXPECT_EQ(value, 41u);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(front.handshakes(), 1);
}

TEST_F(TlsEndToEnd, DoneAndUnloadCloseTheConnection) {
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    load({1, file("ca.pem")}, "127.0.0.1", front.port());
    EXPECT_EQ(exec(), "");
    EXPECT_TRUE(lib->Done());
    EXPECT_TRUE(server.wait_for_closed_by_client(1));
    EXPECT_EQ(exec(), "");
    lib->unload();
    EXPECT_TRUE(server.wait_for_closed_by_client(2));
    EXPECT_EQ(front.handshakes(), 2);
}

TEST_F(TlsEndToEnd, MessageHeldByTheTlsLayerIsReadWithoutWaiting) {
    // Header and payload come in one TLS record: after the header is read,
    // the payload sits decrypted in the TLS layer and the socket shows
    // nothing. A tail time-out of 1 ms fails unless it is read at once.
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    load({1, file("ca.pem")}, "127.0.0.1", front.port(), "Attempts=3\nPause=1\n", "1");
    server.script(error_reply("held back"));
    server.script(reply(Wire().u32(7)));
    EXPECT_EQ(exec(), "held back");
    unsigned int value = 0;
    EXPECT_TRUE(lib->CalcAutoInc("", "", "", "a:b", &value)) << lib->last_error();
    EXPECT_EQ(value, 7u);
}

TEST_F(TlsEndToEnd, LargeMessagesCrossManyRecords) {
    TlsFront front(server.port(), pki().server);
    ASSERT_TRUE(front.ok());
    load({1, file("ca.pem")}, "127.0.0.1", front.port());
    std::string sql(300000, 's');
    std::string refusal(100000, 'r');
    server.script(error_reply(refusal));
    EXPECT_FALSE(lib->ExecSQL(sql.c_str(), "", ""));
    EXPECT_EQ(lib->last_error(), refusal.substr(0, 4096));  // the test's buffer holds 4096
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.requests()[0].payload.find(sql), std::string::npos);
}

TEST_F(TlsEndToEnd, PlainServerFailsTheHandshake) {
    // The plain server takes the TLS greeting for a bad frame and drops the
    // connection with the greeting unread, which resets it.
    load({1, file("ca.pem")}, "127.0.0.1", server.port(), "Attempts=2\nPause=0\n");
    std::string error = exec();
    EXPECT_TRUE(error == "connection reset by peer" ||
                error == "tls handshake failed: connection closed by peer")
        << error;
    EXPECT_EQ(server.connections(), 2);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TlsEndToEnd, HandshakeIsBoundedByTheConnectLimit) {
    // Connections complete in the backlog, but nothing ever answers.
    int port = 0;
    tp::sock silent = tp::listen_loopback(port);
    ASSERT_NE(silent, tp::no_sock);
    load({1, file("ca.pem")}, "127.0.0.1", port, "Attempts=1\nPause=0\n");
    EXPECT_EQ(exec(), "connection timed out");
    tp::close_socket(silent);
}

// A TLS connection waits for a reply inside the socket's receive and sleeps
// while it waits: a wait that returned at once would spin.
TEST_F(TlsEndToEnd, WaitForAReplySleeps) {
    int backend_port = 0;
    tp::sock backend = tp::listen_loopback(backend_port);  // never answers
    ASSERT_NE(backend, tp::no_sock);
    TlsFront front(backend_port, pki().server);
    ASSERT_TRUE(front.ok());
    orbl::socket_security_param param;
    const std::string ca = file("ca.pem");
    param.ca_file.assign(ca.begin(), ca.end());
    orbl::set_socket_security_params(param);
    orbl::inet_address address = orbl::get_host_by_addr(L"127.0.0.1");
    auto socket = orbl::make_client_socket(
        orbl::make_tls_channel(connect_to(address.addresses[0], front.port(), 1000), L"127.0.0.1", 1, 5000));
    const int limit = 1000;
    socket->set_timeout(orbl::timeout_kind::receive, &limit);
    orbl::socket_packet packet;
    Spent wait = spent([&] { EXPECT_FALSE(socket->receive_packet(packet)); });
    EXPECT_GE(wait.wall_ms, 950);
    EXPECT_LT(wait.cpu_ms, 50);
    socket.reset();
    orbl::set_socket_security_params({});
    tp::close_socket(backend);
}

}  // namespace
}  // namespace qtest
