// Runs the cross-built Windows host (host.c) under Wine against the loopback
// test server of this Linux build: the DLL sits in a temporary directory of
// its own beside its quel2cln.ini, and the server answers the host's calls in
// the order the host makes them. The host checks what the exports return;
// this side checks what reached the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/platform.h"
#include "support/test_server.h"
#include "support/wire.h"

namespace {

namespace tp = test_platform;
using qtest::Wire;

// Attempts=2 differs from the value at load (3), so the number of tries
// after a closed connection shows that the file beside the DLL was read.
const char* const host_ini =
    "[Connect]\nAttempts=2\nPause=0\n[Advanced]\nSocketTimeout=5000\nTailTimeout=5000\n";

// A path of this machine as Wine names it (Z: is the root directory).
std::string wine_path(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

struct Expected {
    int connection;
    int type;
    std::string payload;
};

class WindowsHost : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tp::make_temp_dir();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(tp::copy_file(QUEL2CLN_WINDOWS_DLL, tp::join_path(dir, "quel2cln.dll")));
        ASSERT_TRUE(tp::write_file(tp::join_path(dir, "quel2cln.ini"), host_ini));
        refusing = tp::reserve_refusing_port(refusing_port);
        ASSERT_NE(refusing, tp::no_sock);
    }
    void TearDown() override {
        tp::close_socket(refusing);
        tp::remove_tree(dir);
    }

    std::string dir;
    tp::sock refusing = tp::no_sock;
    int refusing_port = 0;
    qtest::TestServer server;
};

TEST_F(WindowsHost, EveryExportThroughLoadLibraryAndGetProcAddress) {
    using namespace qtest;
    // One answer per request, in the host's order.
    server.script(reply());                                          // ExecSQL
    server.script(reply(Wire().flag(false).u32(42)));               // GetAutoInc
    server.script(reply(Wire().flag(true).u32(5)));                 // GetAutoInc, no value
    server.script(reply(Wire().u32(7)));                            // CalcAutoInc
    server.script(reply());                                          // SaveResult
    server.script(reply(Wire().flag(false).str("locked by someone")));  // Lock 0
    server.script(reply(Wire().flag(true)));                        // Lock 1
    server.script(reply());                                          // Lock -1
    server.script(error_reply("no such table"));                    // ExecSQL
    server.script(reset_connection());                              // ExecSQL, first try
    server.script(reply());                                          //   its retry
    server.script(close_connection());                              // ExecSQL, three tries
    server.script(close_connection());
    server.script(close_connection());
    server.script(reply());                                          // after Done
    server.script(reply());                                          // by name
    server.script(reply());                                          // after Init, old connection

    std::string command = "timeout 300 " + quoted(QUEL2CLN_WINE_RUN) + " " +
                          quoted(QUEL2CLN_WINDOWS_HOST) + " " +
                          quoted(wine_path(tp::join_path(dir, "quel2cln.dll"))) + " " +
                          std::to_string(server.port()) + " " + std::to_string(refusing_port) +
                          " 2>&1";
    std::string output;
    bool passed = tp::run_command(command, output);
    EXPECT_TRUE(passed) << output;
    EXPECT_NE(output.find("\n0 failed"), std::string::npos) << output;

    auto text3 = [](const char* a, const char* b, const char* c) {
        return Wire().str(a).str(b).str(c).bytes();
    };
    const std::vector<Expected> expected = {
        {1, 3, text3("select 1", "", "")},
        {1, 4, text3("t1", "t2", "t3")},
        {1, 4, text3("t1", "t2", "t3")},
        {1, 5, Wire().str("t1").str("t2").str("t3").u32(2).str("f1").str("a").str("f2").str("b")},
        {1, 6, Wire().str("1").str("2").str("3").str("4").str("5")},
        {1, 7, Wire().str("a").str("b").i32(0).str("d").u32(9)},
        {1, 7, Wire().str("a").str("b").i32(1).str("d").u32(9)},
        {1, 7, Wire().str("a").str("b").i32(-1)},
        {1, 3, text3("select nothing", "", "")},
        {1, 3, text3("after reset", "", "")},
        {2, 3, text3("after reset", "", "")},
        {2, 3, text3("closed", "", "")},
        {3, 3, text3("closed", "", "")},
        {4, 3, text3("closed", "", "")},
        {5, 3, text3("after done", "", "")},
        {6, 3, text3("by name", "", "")},
    };
    std::vector<Request> received = server.requests();
    ASSERT_EQ(received.size(), expected.size()) << output;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("request " + std::to_string(i + 1));
        EXPECT_EQ(received[i].connection, expected[i].connection);
        EXPECT_EQ(received[i].type, expected[i].type);
        EXPECT_EQ(received[i].payload, expected[i].payload);
    }
}

}  // namespace
