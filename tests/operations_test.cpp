// The five operations over a scripted socket: what each request carries and
// how each reply reaches the out-parameters.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "protocol/errors.h"
#include "support/fake_socket.h"
#include "support/test_server.h"
#include "support/wire.h"

namespace {

using qtest::FakeScript;
using qtest::FakeSocket;
using qtest::frame;
using qtest::Wire;

struct ScriptedConnection {
    std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
    quel::Connection connection{std::make_unique<FakeSocket>(script)};

    void answer(const std::string& reply_payload) { script->deliver(frame(1, reply_payload)); }
    // Payload of the only request sent so far.
    std::string request() const {
        EXPECT_EQ(script->sent.size(), 1u);
        return script->sent.empty() ? std::string() : script->sent[0].substr(32);
    }
};

TEST(CalcAutoInc, FieldListBecomesCountedPairs) {
    struct Case {
        std::string list;
        std::vector<std::pair<std::string, std::string>> pairs;
    };
    // A list long enough to be checked first and then encoded into memory
    // of its own: " t.f1 : v 1 , t.f2 : v 2 , ..."
    Case long_list;
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        long_list.list += " t.f" + n + " : v " + n + " ,";
        long_list.pairs.push_back({"tf" + n, "v" + n});
    }
    const Case cases[] = {
        long_list,
        {"", {}},
        {" , ,", {}},
        {",,,", {}},
        {"id:1", {{"id", "1"}}},
        {" id : 1 , code : 2 ", {{"id", "1"}, {"code", "2"}}},
        {"a.b:1", {{"ab", "1"}}},
        {"1.5:2.0", {{"15", "20"}}},
        {"a::b", {{"a", "b"}}},
        {":a:b", {{"a", "b"}}},
        {"a:b:", {{"a", "b"}}},
        {"a:b,,c:d,", {{"a", "b"}, {"c", "d"}}},
        {"a:\tb", {{"a", "\tb"}}},
        {"x\xc3\xa9:\x01", {{"x\xc3\xa9", "\x01"}}},
    };
    for (const Case& c : cases) {
        ScriptedConnection s;
        s.answer(Wire().u32(77));
        unsigned int value = 0;
        ASSERT_NO_THROW(s.connection.calc_auto_inc("t1", "t2", "t3", c.list, &value))
            << "\"" << c.list << "\"";
        Wire expected;
        expected.str("t1").str("t2").str("t3").u32(static_cast<std::uint32_t>(c.pairs.size()));
        for (const auto& pair : c.pairs) expected.str(pair.first).str(pair.second);
        EXPECT_EQ(s.request(), expected.bytes()) << "\"" << c.list << "\"";
        EXPECT_EQ(value, 77u);
    }
}

TEST(CalcAutoInc, MalformedFieldListSendsNothing) {
    const std::string long_list = std::string(100, ' ') + "a:b,c:d,e:f:g";
    for (const char* list :
         {"a", "a:", ":b", ":", "a:b:c", "a:b,c", "a:b,c:d,e:f:g", " . : . ", long_list.c_str()}) {
        ScriptedConnection s;
        unsigned int value = 5;
        try {
            s.connection.calc_auto_inc("", "", "", list, &value);
            ADD_FAILURE() << "\"" << list << "\" accepted";
        } catch (const quel::client_error& error) {
            EXPECT_STREQ(error.what(), "invalid field list format") << list;
        }
        EXPECT_TRUE(s.script->sent.empty()) << list;
        EXPECT_EQ(value, 5u);
        EXPECT_TRUE(s.connection.in_step());
    }
}

TEST(CalcAutoInc, ValueMayBeNullAndTrailingBytesAreIgnored) {
    ScriptedConnection s;
    s.answer(Wire().u32(1).u32(2));
    EXPECT_NO_THROW(s.connection.calc_auto_inc("", "", "", "", nullptr));
}

TEST(GetAutoInc, ReplyFillsFlagAndNumber) {
    struct Case {
        const char* name;
        std::string reply;
        bool no_value;
        unsigned int value;
    };
    const Case cases[] = {
        {"no value", Wire().flag(true), true, 0},
        {"no value, number ignored", Wire().flag(true).u32(55), true, 0},
        {"real zero", Wire().flag(false).u32(0), false, 0},
        {"value", Wire().flag(false).u32(0xFFFFFFFEu), false, 0xFFFFFFFEu},
        {"flag byte 2 means true", Wire().byte(2).u32(9), true, 0},
    };
    for (const Case& c : cases) {
        ScriptedConnection s;
        s.answer(c.reply);
        bool no_value = !c.no_value;
        unsigned int value = 12345;
        ASSERT_NO_THROW(s.connection.get_auto_inc("a", "", "c", &no_value, &value)) << c.name;
        EXPECT_EQ(no_value, c.no_value) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
        EXPECT_EQ(s.request(), Wire().str("a").str("").str("c").bytes());
    }
}

TEST(GetAutoInc, ShortReplyLeavesOutputsUntouched) {
    for (const std::string& reply : {std::string(), Wire().flag(false).raw("\x01\x02").bytes()}) {
        ScriptedConnection s;
        s.answer(reply);
        bool no_value = true;
        unsigned int value = 99;
        EXPECT_THROW(s.connection.get_auto_inc("", "", "", &no_value, &value), std::runtime_error);
        EXPECT_TRUE(no_value);
        EXPECT_EQ(value, 99u);
    }
    ScriptedConnection s;
    s.answer(Wire().flag(false).u32(3));
    EXPECT_NO_THROW(s.connection.get_auto_inc("", "", "", nullptr, nullptr));
}

struct LockOutcome {
    bool threw = false;
    bool lock_result = false;
    std::string buffer;  // the whole host buffer afterwards
};

// `initial_result` is what lock_result holds before the call: the opposite
// of the expected value, so that a missing store shows.
LockOutcome run_lock(int mode, const std::string& reply, unsigned int reply_text_len,
                     bool initial_result, bool with_buffer = true) {
    ScriptedConnection s;
    s.answer(reply);
    LockOutcome out;
    out.lock_result = initial_result;
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    try {
        s.connection.lock("t1", "t2", mode, "t4", 9, &out.lock_result,
                          with_buffer ? buffer : nullptr, reply_text_len);
    } catch (const std::exception&) {
        out.threw = true;
    }
    out.buffer.assign(buffer, sizeof buffer);
    return out;
}

TEST(Lock, ReplyTextIsCopiedWithinTheHostsLength) {
    const std::string ten = Wire().flag(false).str("0123456789");
    struct Case {
        const char* name;
        std::string reply;
        unsigned int len;
        std::string buffer;
    };
    const Case cases[] = {
        {"longer buffer", ten, 12, std::string("0123456789\0#####", 16)},
        {"cut", ten, 4, std::string("0123\0###########", 16)},
        {"length 0", ten, 0, std::string("\0###############", 16)},
        {"NUL inside", Wire().flag(false).str(std::string("ab\0cdef", 7)), 10,
         std::string("ab\0\0\0\0\0\0########", 16)},
    };
    for (const Case& c : cases) {
        LockOutcome out = run_lock(0, c.reply, c.len, true);
        EXPECT_FALSE(out.threw) << c.name;
        EXPECT_FALSE(out.lock_result) << c.name;
        EXPECT_EQ(out.buffer, c.buffer) << c.name;
    }
}

TEST(Lock, ModesDecideWhatIsReadAndWritten) {
    const std::string untouched(16, '#');
    struct Case {
        const char* name;
        int mode;
        std::string reply;
        bool lock_result;
        std::string buffer;
    };
    const Case cases[] = {
        {"mode -1 reads nothing", -1, "", true, untouched},
        {"mode -1 ignores a payload", -1, Wire().flag(false).str("x"), true, untouched},
        {"mode 0 granted", 0, Wire().flag(true).str("never read"), true, untouched},
        {"mode 1 granted", 1, Wire().flag(true), true, untouched},
        {"mode 1 refused, no text read", 1, Wire().flag(false).str("why"), false, untouched},
    };
    for (const Case& c : cases) {
        LockOutcome out = run_lock(c.mode, c.reply, 15, !c.lock_result);
        EXPECT_FALSE(out.threw) << c.name;
        EXPECT_EQ(out.lock_result, c.lock_result) << c.name;
        EXPECT_EQ(out.buffer, c.buffer) << c.name;
    }
}

TEST(Lock, InvalidModeSendsNothingAndKeepsOutputs) {
    for (int mode : {2, -2, 100, -2147483647 - 1}) {
        ScriptedConnection s;
        bool result = true;
        char buffer[4] = {'k', 'e', 'e', 'p'};
        try {
            s.connection.lock("", "", mode, "", 0, &result, buffer, 3);
            ADD_FAILURE() << "mode " << mode << " accepted";
        } catch (const quel::client_error& error) {
            EXPECT_STREQ(error.what(), "invalid lock mode");
        }
        EXPECT_TRUE(s.script->sent.empty());
        EXPECT_TRUE(result);
        EXPECT_EQ(std::string(buffer, 4), "keep");
    }
}

TEST(Lock, TextCutShortAfterAFalseFlag) {
    // The flag is stored before the text is read; the buffer stays as it was.
    LockOutcome out = run_lock(0, Wire().flag(false).u32(8).raw("abc"), 15, true);
    EXPECT_TRUE(out.threw);
    EXPECT_FALSE(out.lock_result);
    EXPECT_EQ(out.buffer, std::string(16, '#'));

    LockOutcome no_buffer = run_lock(0, Wire().flag(false).str("text"), 15, true, false);
    EXPECT_FALSE(no_buffer.threw);
    EXPECT_FALSE(no_buffer.lock_result);
}

}  // namespace
