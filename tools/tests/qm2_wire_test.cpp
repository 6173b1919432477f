// qm2 against the library's own test server: the exact request bytes each
// command makes the library send, and replies that only a hand-scripted
// server gives.

#include <gtest/gtest.h>

#include "process.h"
#include "support/test_server.h"

namespace {

using tools_test::run_program;
using tools_test::run_result;
using tools_test::str;
using tools_test::u32;

run_result qm2(const qtest::TestServer& server, std::vector<std::string> args) {
    std::vector<std::string> all = {QM2_PATH, "--lib", LIBRARY_PATH, "--host", "127.0.0.1",
                                    "--port", std::to_string(server.port())};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(all);
}

TEST(Qm2Wire, EachCommandSendsItsArgumentsInPlace) {
    const struct {
        std::vector<std::string> args;
        int type;
        std::string payload;
    } cases[] = {
        {{"exec", "t1", "", "t3"}, 3, str("t1") + str("") + str("t3")},
        {{"get-auto-inc", "a", "b", "c"}, 4, str("a") + str("b") + str("c")},
        {{"calc-auto-inc", "a", "b", "c", "x:1, y.z:2"},
         5, str("a") + str("b") + str("c") + u32(2) + str("x") + str("1") + str("yz") + str("2")},
        {{"calc-auto-inc", "a", "b", "c", ""}, 5, str("a") + str("b") + str("c") + u32(0)},
        {{"save-result", "1", "2", "3", "4", "5"},
         6, str("1") + str("2") + str("3") + str("4") + str("5")},
        {{"lock", "a", "b", "-1"}, 7, str("a") + str("b") + u32(0xFFFFFFFF)},
        {{"lock", "a", "b", "-1", "ignored", "9"}, 7, str("a") + str("b") + u32(0xFFFFFFFF)},
        {{"lock", "a", "b", "0"}, 7, str("a") + str("b") + u32(0) + str("") + u32(0)},
        {{"lock", "a", "b", "1", "t4", "4294967295"},
         7, str("a") + str("b") + u32(1) + str("t4") + u32(0xFFFFFFFF)},
    };
    for (const auto& c : cases) {
        qtest::TestServer server;
        server.set_default([](const qtest::Request&) {
            return qtest::reply(std::string(1, 1) + u32(5));  // readable by every operation
        });
        const run_result r = qm2(server, c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 1u) << c.args[0];
        EXPECT_EQ(requests[0].type, c.type) << c.args[0];
        EXPECT_EQ(requests[0].payload, c.payload) << c.args[0];
    }
}

TEST(Qm2Wire, RepliesInPiecesAndLongTextsReachTheOutput) {
    qtest::TestServer server;
    const std::string long_text(70000, 'x');
    const std::string reply = qtest::frame(1, std::string(1, '\0') + str(long_text));
    // The reply arrives in two pieces, the second after a pause.
    server.script(qtest::raw(reply.substr(0, 40)) + qtest::pause(50) + qtest::raw(reply.substr(40)));
    const run_result r = qm2(server, {"lock", "a", "b", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The text is cut at qm2's buffer of 65,536 bytes.
    EXPECT_EQ(r.out, "ok\nlock_result=false\ntext=" + std::string(65536, 'x') + "\n");
}

}  // namespace
