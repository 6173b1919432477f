// Garbage from the server, or a server that stops or vanishes in the middle
// of a message: the call ends with false and a clear text, never a crash or
// a hang, and the next call gets its right answer.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "protocol/message.h"
#include "support/platform.h"

namespace qtest {
namespace {

struct BadCase {
    const char* name;
    Answer answer;       // the server's answer to every try of the failing call
    const char* error;   // the last error afterwards
    bool new_connection; // the next call runs on a new connection
};

void PrintTo(const BadCase& c, std::ostream* out) { *out << c.name; }

class BadServer : public EndToEnd, public ::testing::WithParamInterface<BadCase> {};

std::string with_version(const char* version) {
    std::string bytes = header(quel::Reply, 0);
    bytes.replace(8, 4, version);
    return bytes;
}

Answer good_answer(const Request&) { return reply(Wire().flag(false).u32(9)); }

TEST_P(BadServer, FailsCleanlyAndRecovers) {
    const BadCase& c = GetParam();
    Answer bad = c.answer;
    server.set_default([bad](const Request&) { return bad; });
    bool no_value = true;
    unsigned int value = 1234;
    EXPECT_FALSE(lib->GetAutoInc("t", "", "", &no_value, &value));
    EXPECT_EQ(lib->last_error(), c.error);
    EXPECT_TRUE(no_value);
    EXPECT_EQ(value, 1234u);
    std::vector<Request> seen = requests();
    ASSERT_FALSE(seen.empty());
    int failing_connection = seen.back().connection;

    server.set_default(good_answer);
    EXPECT_TRUE(lib->GetAutoInc("t", "", "", &no_value, &value)) << lib->last_error();
    EXPECT_FALSE(no_value);
    EXPECT_EQ(value, 9u);
    seen = requests();
    EXPECT_EQ(seen.back().connection, failing_connection + (c.new_connection ? 1 : 0));
}

const std::string partial_header = header(quel::Reply, 5).substr(0, 20);
const std::string partial_payload = header(quel::Reply, 100) + "0123456789";

INSTANTIATE_TEST_SUITE_P(
    Garbage, BadServer,
    ::testing::Values(
        BadCase{"bad_magic", raw(std::string(32, 'X')), "no message magic", true},
        BadCase{"bad_version", raw(with_version("1002")), "message version mismatch", true},
        BadCase{"type_0", raw(header(0, 0)), "invalid message type", true},
        BadCase{"type_200", raw(header(200, 4) + "abcd"), "invalid message type", true},
        BadCase{"data_size_above_bound", raw(header(quel::Reply, 62914561)),
                "message data too big", true},
        BadCase{"data_size_max", raw(header(quel::Reply, 0xFFFFFFFFu) + "xyz"),
                "message data too big", true},
        BadCase{"header_stops", raw(partial_header), "no message header", true},
        BadCase{"payload_stops", raw(partial_payload), "message tail timeout exceed", true},
        BadCase{"error_text_cut_short", message(quel::ErrorReply, Wire().u32(50).raw("short")),
                "message data truncated", false},
        BadCase{"reply_cut_short", reply(Wire().flag(false).raw("\x01\x02")),
                "message data truncated", false},
        BadCase{"empty_reply", reply(), "message data truncated", false},
        BadCase{"request_type", message(quel::GetAutoInc, Wire().flag(false).u32(3)),
                "unexpected message", false},
        BadCase{"vanishes_in_header", raw(partial_header) + close_connection(),
                "(0) connection closed by peer", true},
        BadCase{"resets_in_header", raw(partial_header) + reset_connection(),
                "(10054) connection reset by peer", true},
        BadCase{"vanishes_in_payload", raw(partial_payload) + close_connection(),
                "(0) connection closed by peer", true},
        BadCase{"resets_in_payload", raw(partial_payload) + reset_connection(),
                "(10054) connection reset by peer", true}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

TEST_F(EndToEnd, SendThatCannotFinishTimesOut) {
    // After its answer the server reads nothing for a second: a request far
    // larger than the socket buffers cannot go out within the send time-out.
    server.script(reply() + pause(1000));
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    const std::string huge(60 * 1024 * 1024 - 100, 'h');
    EXPECT_FALSE(lib->ExecSQL(huge.c_str(), "", ""));
    EXPECT_EQ(lib->last_error(), "send message timeout");

    // Part of that request is on the old connection: the next call uses a
    // new one and gets its own answer.
    server.script(reply());
    EXPECT_TRUE(lib->ExecSQL("next", "", "")) << lib->last_error();
    std::vector<Request> seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].connection, 2);
    EXPECT_EQ(seen[1].payload, Wire().str("next").str("").str("").bytes());
}

TEST_F(EndToEnd, SendToAPeerThatClosedWithoutReadingTimesOutWithoutSpinning) {
    // A peer that has closed its sending side may still read, so the send
    // waits for room until its own time-out, and the wait costs no CPU.
    reload("[Connect]\nAttempts=1\n[Advanced]\nSocketTimeout=2000\n");
    server.script(reply() + half_close());
    ASSERT_TRUE(lib->ExecSQL("", "", ""));
    const std::string huge(32 * 1024 * 1024, 'h');
    auto started = std::chrono::steady_clock::now();
    std::int64_t cpu_before = test_platform::process_cpu_ms();
    EXPECT_FALSE(lib->ExecSQL(huge.c_str(), "", ""));
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(lib->last_error(), "send message timeout");
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    EXPECT_LT(test_platform::process_cpu_ms() - cpu_before, 1000);
}

TEST_F(EndToEnd, LockTextCutShortLeavesTheBuffer) {
    server.script(reply(Wire().flag(false).u32(20).raw("only a part")));
    bool granted = true;
    char text[8] = "keep me";
    EXPECT_FALSE(lib->Lock("", "", 0, "", 0, &granted, text, 7));
    EXPECT_EQ(lib->last_error(), "message data truncated");
    EXPECT_FALSE(granted);
    EXPECT_STREQ(text, "keep me");
}

}  // namespace
}  // namespace qtest
