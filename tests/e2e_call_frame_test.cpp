// The call frame seen from a host: retries after a broken connection, the
// connection kept after other failures, connecting on demand, qm2_Done, and
// the last error text.

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "protocol/message.h"
#include "support/platform.h"

namespace qtest {
namespace {

using std::chrono::milliseconds;

std::vector<int> connections_of(const std::vector<Request>& requests) {
    std::vector<int> result;
    for (const Request& r : requests) result.push_back(r.connection);
    return result;
}

// A resend seen from a host: after a broken connection the same request
// goes out again, on a new connection, and the last failure is reported; a
// later success ends the call well. Any operation is resent alike, and its
// outputs stay untouched when every try failed. How many times each kind of
// failure is sent is the call frame's unit test; here only that the ini's
// Attempts reaches it.
struct ResendCase {
    const char* name;
    int attempts;                  // written to the ini; 0: the fixture's
    std::vector<Answer> answers;   // scripted, then `fallback` for every request
    Answer fallback;
    int operation;                 // 0 ExecSQL, 1 Lock, 2 SaveResult, 3 CalcAutoInc
    const char* error;             // "<none>": the call succeeds
};

void PrintTo(const ResendCase& c, std::ostream* out) { *out << c.name; }

class Resend : public EndToEnd, public ::testing::WithParamInterface<ResendCase> {};

TEST_P(Resend, BrokenConnectionsAreResentOnNewConnections) {
    const ResendCase& c = GetParam();
    if (c.attempts > 0) {
        const std::string ini = "[Connect]\nAttempts=" + std::to_string(c.attempts) + "\nPause=0\n";
        reload(ini.c_str());
    }
    server.set_default([&c](const Request&) { return c.fallback; });
    for (const Answer& a : c.answers) server.script(a);
    bool granted = true;
    unsigned int value = 0;
    bool ok = false;
    switch (c.operation) {
    case 0: ok = lib->ExecSQL("a", "b", "c"); break;
    case 1: ok = lib->Lock("t", "", 1, "", 0, &granted, nullptr, 0); break;
    case 2: ok = lib->SaveResult("1", "2", "3", "4", "5"); break;
    default: ok = lib->CalcAutoInc("", "", "", "a:b", &value); break;
    }
    const bool succeeds = std::string(c.error) == "<none>";
    EXPECT_EQ(ok, succeeds);
    EXPECT_EQ(lib->last_error(), c.error);
    EXPECT_TRUE(granted);
    EXPECT_EQ(value, succeeds ? 17u : 0u);
    const std::vector<Request> seen = requests();
    ASSERT_GE(seen.size(), 2u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].connection, static_cast<int>(i) + 1);
        EXPECT_EQ(seen[i].frame, seen[0].frame);
    }
    if (c.attempts > 0) {
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(c.attempts) + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Resend,
    ::testing::Values(
        ResendCase{"closed", 0, {}, close_connection(), 0, "(0) connection closed by peer"},
        ResendCase{"reset", 0, {}, reset_connection(), 1, "(10054) connection reset by peer"},
        ResendCase{"attempts_from_ini", 2, {}, close_connection(), 2, "(0) connection closed by peer"},
        ResendCase{"then_a_reply", 0, {reset_connection(), reply(Wire().u32(17))}, close_connection(), 3,
                   "<none>"}),
    [](const ::testing::TestParamInfo<ResendCase>& info) { return info.param.name; });

TEST_F(EndToEnd, ServerRefusalKeepsTheConnection) {
    server.script(error_reply("table \"x\" is locked"));
    server.script(message(quel::CalcAutoInc, ""));
    server.script(reply("a payload that ExecSQL does not read"));
    EXPECT_FALSE(lib->ExecSQL("update x", "", ""));
    EXPECT_EQ(lib->last_error(), "table \"x\" is locked");
    EXPECT_FALSE(lib->ExecSQL("update y", "", ""));
    EXPECT_EQ(lib->last_error(), "unexpected message");
    EXPECT_TRUE(lib->ExecSQL("update z", "", "")) << lib->last_error();
    EXPECT_EQ(connections_of(requests()), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(EndToEnd, OwnChecksKeepTheConnection) {
    unsigned int value = 0;
    bool granted = false;
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    EXPECT_FALSE(lib->CalcAutoInc("", "", "", "a:b,c", &value));
    EXPECT_EQ(lib->last_error(), "invalid field list format");
    EXPECT_FALSE(lib->Lock("", "", 5, "", 0, &granted, nullptr, 0));
    EXPECT_EQ(lib->last_error(), "invalid lock mode");
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    std::vector<Request> seen = requests();
    EXPECT_EQ(connections_of(seen), (std::vector<int>{1, 1}));
    for (const Request& r : seen) EXPECT_EQ(r.type, quel::ExecSQL);
}

TEST_F(EndToEnd, RefusedConnectionIsReportedWithoutRetry) {
    int port = 0;
    test_platform::sock reserved = test_platform::reserve_refusing_port(port);
    ASSERT_NE(reserved, test_platform::no_sock);
    ASSERT_TRUE(lib->Init("127.0.0.1", port));
    EXPECT_FALSE(lib->ExecSQL("", "", ""));
    EXPECT_EQ(lib->last_error(), "connection refused");
    // A later call tries again from the start.
    EXPECT_FALSE(lib->ExecSQL("", "", ""));
    EXPECT_EQ(lib->last_error(), "connection refused");
    test_platform::close_socket(reserved);
}

TEST_F(EndToEnd, PausesBetweenRefusedConnectionTries) {
    // Three tries, two pauses of 200 ms from the ini: the call cannot end
    // sooner. (The exact sequence of tries and pauses is a unit test.)
    reload("[Connect]\nAttempts=3\nPause=200\n", false);
    int port = 0;
    test_platform::sock reserved = test_platform::reserve_refusing_port(port);
    ASSERT_TRUE(lib->Init("127.0.0.1", port));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lib->ExecSQL("", "", ""));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(400));
    EXPECT_EQ(lib->last_error(), "connection refused");
    test_platform::close_socket(reserved);
}

TEST_F(EndToEnd, ConnectFailuresOfTheSocketLayerAreReportedAsText) {
    struct Case {
        const char* ini;
        int port;
        const char* text;
    };
    const Case cases[] = {
        {"[Security]\nLevel=7\n[Connect]\nPause=0\n", server.port(), "unsupported security level"},
        {"[Connect]\nPause=0\n", 70000, "invalid port"},
    };
    for (const Case& c : cases) {
        reload(c.ini, false);
        ASSERT_TRUE(lib->Init("127.0.0.1", c.port));
        EXPECT_FALSE(lib->ExecSQL("", "", ""));
        EXPECT_EQ(lib->last_error(), c.text);
    }
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(EndToEnd, InitAloneDoesNotConnect) {
    EXPECT_FALSE(server.wait_for_connections(1, milliseconds(200)));
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(EndToEnd, EmptyHostMeansLocalhost) {
    for (const char* host : {static_cast<const char*>(nullptr), ""}) {
        lib->Done();
        ASSERT_TRUE(lib->Init(host, server.port()));
        EXPECT_TRUE(lib->ExecSQL("", "", "")) << lib->last_error();
    }
    EXPECT_EQ(connections_of(requests()), (std::vector<int>{1, 2}));
}

TEST_F(EndToEnd, NumericIpv6Address) {
    std::unique_ptr<TestServer> six;
    try {
        six = std::make_unique<TestServer>(true);
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    ASSERT_TRUE(lib->Init("::1", six->port()));
    EXPECT_TRUE(lib->ExecSQL("over", "six", "")) << lib->last_error();
    std::vector<Request> seen = six->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload, Wire().str("over").str("six").str("").bytes());
}

TEST_F(EndToEnd, ConnectionClosedWhileIdleIsRetriedOnSend) {
    // The server closes after its answer; the next request is sent into a
    // dead connection, which must neither raise SIGPIPE nor be reported.
    server.script(reply() + close_connection());
    EXPECT_TRUE(lib->ExecSQL("first", "", ""));
    ASSERT_TRUE(server.wait_for_connections(1));
    const std::string big(8 * 1024 * 1024, 's');
    EXPECT_TRUE(lib->ExecSQL(big.c_str(), "", "")) << lib->last_error();
    std::vector<Request> seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].connection, 2);
    EXPECT_EQ(seen[1].payload.size(), 12u + big.size());
}

TEST_F(EndToEnd, DoneDropsTheConnectionAndTheNextCallReconnects) {
    EXPECT_TRUE(lib->Done());  // nothing connected yet
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    server.script(error_reply("refused"));
    EXPECT_FALSE(lib->ExecSQL("", "", ""));
    EXPECT_TRUE(lib->Done());
    EXPECT_EQ(lib->last_error(), "<none>");
    EXPECT_TRUE(server.wait_for_closed_by_client(1));
    EXPECT_TRUE(lib->Done());

    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    EXPECT_EQ(connections_of(requests()), (std::vector<int>{1, 1, 2}));
}

TEST_F(EndToEnd, InitDropsTheConnectionWhenTheTargetChanges) {
    TestServer other;
    const std::string ini_path = test_platform::join_path(lib->dir(), "quel2cln.ini");
    struct Case {
        std::string ini;  // written before the second Init
        const char* host;
        int port;         // 0: this fixture's server, -1: the other server
        bool init_ok;
        const char* error;  // of the call after it; null: the call succeeds
        bool dropped;
    };
    const std::string fast = fast_ini;
    const Case cases[] = {
        {fast, "127.0.0.1", 0, true, nullptr, false},
        {fast + "CallTimeout=5000\n", "127.0.0.1", 0, true, nullptr, false},
        {fast, "127.0.0.1", -1, true, nullptr, true},
        {fast, "127.0.0.1", 70000, true, "invalid port", true},
        {fast + "[Security]\nCAFile=ca.pem\n", "127.0.0.1", 0, true, nullptr, true},
        {fast + "[Security]\nLevel=two\n", "127.0.0.1", 0, false, "unsupported security level", true},
    };
    for (const Case& c : cases) {
        lib->Done();
        ASSERT_TRUE(test_platform::write_file(ini_path, fast));
        ASSERT_TRUE(lib->Init("127.0.0.1", server.port()));
        ASSERT_TRUE(lib->ExecSQL("", "", "")) << lib->last_error();
        const int open = requests().back().connection;
        ASSERT_TRUE(test_platform::write_file(ini_path, c.ini));
        const int port = c.port == 0 ? server.port() : c.port == -1 ? other.port() : c.port;
        EXPECT_EQ(lib->Init(c.host, port), c.init_ok) << c.ini;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(lib->ExecSQL("", "", ""), c.error == nullptr) << c.ini;
        if (c.error) {
            EXPECT_EQ(lib->last_error(), c.error);
            EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));  // no tries
        }
        if (c.dropped)
            EXPECT_TRUE(server.wait_for_closed_by_client(open)) << c.ini;
        else
            EXPECT_EQ(requests().back().connection, open) << c.ini;
    }
    EXPECT_EQ(other.requests().size(), 1u);
}

TEST_F(EndToEnd, CallTimeoutBoundsTheWholeCall) {
    int refusing = 0;
    test_platform::sock reserved = test_platform::reserve_refusing_port(refusing);
    ASSERT_NE(reserved, test_platform::no_sock);
    struct Case {
        const char* ini;
        bool silent_server;  // otherwise every connection try is refused
    };
    const Case cases[] = {
        {"[Connect]\nPause=1\n[Advanced]\nSocketTimeout=100\nCallTimeout=300\n", true},
        {"[Connect]\nPause=1\n[Advanced]\nSocketTimeout=0\nCallTimeout=300\n", true},
        {"[Connect]\nAttempts=3\nPause=5000\n[Advanced]\nCallTimeout=300\n", false},
    };
    int dropped = 0;
    for (const Case& c : cases) {
        reload(c.ini, false);
        ASSERT_TRUE(lib->Init("127.0.0.1", c.silent_server ? server.port() : refusing));
        if (c.silent_server) server.script(no_answer());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(lib->ExecSQL("", "", ""));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(lib->last_error(), "call timed out") << c.ini;
        EXPECT_GE(elapsed, milliseconds(250)) << c.ini;
        EXPECT_LT(elapsed, milliseconds(3000)) << c.ini;
        if (!c.silent_server) continue;
        // The connection is out of step: it is closed, and the next call
        // has a new one.
        EXPECT_TRUE(server.wait_for_closed_by_client(++dropped));
        EXPECT_TRUE(lib->ExecSQL("", "", "")) << lib->last_error();
    }
    test_platform::close_socket(reserved);
}

TEST_F(EndToEnd, UnloadClosesTheConnection) {
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    lib->unload();
    EXPECT_TRUE(server.wait_for_closed_by_client(1));
}

TEST_F(EndToEnd, SlowServerIsWaitedFor) {
    // Longer than several receive time-outs (200 ms each).
    server.script(pause(700) + reply(Wire().flag(false).u32(5)));
    bool no_value = true;
    unsigned int value = 0;
    EXPECT_TRUE(lib->GetAutoInc("", "", "", &no_value, &value)) << lib->last_error();
    EXPECT_FALSE(no_value);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(EndToEnd, LastErrorCopyRules) {
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(lib->LastError(buffer, QM2_TEXT_LENGTH(sizeof buffer)));  // nothing recorded
    EXPECT_EQ(buffer[0], '#');

    server.script(error_reply("0123456789"));
    ASSERT_FALSE(lib->ExecSQL("", "", ""));
    struct Case {
        unsigned int length;
        std::string written;  // the first 14 bytes afterwards
    };
    const Case cases[] = {
        {0, std::string("\0#############", 14)},
        {4, std::string("0123\0#########", 14)},
        {12, std::string("0123456789\0###", 14)},
    };
    for (const Case& c : cases) {
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_TRUE(lib->LastError(buffer, c.length)) << c.length;
        EXPECT_EQ(std::string(buffer, 14), c.written) << c.length;
    }
    EXPECT_FALSE(lib->LastError(nullptr, 10));
    EXPECT_EQ(lib->last_error(), "0123456789");  // reading does not clear

    server.script(error_reply(""));
    EXPECT_FALSE(lib->ExecSQL("", "", ""));
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_TRUE(lib->LastError(buffer, 10));
    EXPECT_EQ(std::string(buffer, 2), std::string("\0#", 2));

    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(lib->LastError(buffer, 10));
    EXPECT_EQ(buffer[0], '#');
}

}  // namespace
}  // namespace qtest
