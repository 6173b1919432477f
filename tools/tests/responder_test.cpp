#include <gtest/gtest.h>

#include "components/text/serializer.h"
#include "protocol/message.h"

#include "../stub/request.h"
#include "../stub/responder.h"
#include "process.h"

namespace {

using tools_test::str;
using tools_test::u32;

stub::request decode(int type, const std::string& payload) {
    const std::vector<char> bytes(payload.begin(), payload.end());
    return stub::decode_request(type, bytes.begin(), bytes.end());
}

stub::request request_for(int type, const std::string& t1, const std::string& t2 = "b") {
    if (type == quel::Lock) return decode(type, str(t1) + str(t2) + u32(0) + str("x") + u32(1));
    if (type == quel::CalcAutoInc) return decode(type, str(t1) + str(t2) + str("c") + u32(0));
    return decode(type, str(t1) + str(t2) + str("c") + str("d") + str("e"));
}

// The answer's frame: checked header, then its payload.
struct reply {
    int type = 0;
    std::vector<char> payload;
};

reply split(const stub::answer& a) {
    reply r;
    EXPECT_GE(a.bytes.size(), quel::MessageHeaderSize);
    const std::uint32_t size = quel::check_header(a.bytes.data(), a.bytes.size());
    EXPECT_EQ(a.bytes.size(), quel::MessageHeaderSize + size);
    r.type = a.bytes[20];
    r.payload.assign(a.bytes.begin() + quel::MessageHeaderSize, a.bytes.end());
    return r;
}

TEST(StubRequest, DecodesEveryRequestType) {
    const auto exec = decode(quel::ExecSQL, str("a") + str("") + str("c") + "trailing");
    EXPECT_EQ(exec.fields.size(), 3u);
    EXPECT_EQ(exec.find("text3")->text, "c");

    const auto calc = decode(quel::CalcAutoInc,
                             str("a") + str("b") + str("c") + u32(2) + str("id") + str("1") +
                                 str("code") + str("2"));
    EXPECT_EQ(calc.find("fields")->match_text(), "id:1,code:2");

    const auto save = decode(quel::SaveResult, str("1") + str("2") + str("3") + str("4") + str("5"));
    EXPECT_EQ(save.find("text5")->text, "5");

    const auto lock0 = decode(quel::Lock, str("a") + str("b") + u32(0) + str("t4") + u32(99));
    EXPECT_EQ(lock0.find("number")->number, 99);
    const auto unlock = decode(quel::Lock, str("a") + str("b") + u32(0xFFFFFFFF));
    EXPECT_EQ(unlock.find("lock_mode")->number, -1);
    EXPECT_EQ(unlock.find("text4"), nullptr);
    for (const std::uint32_t mode : {2u, 0xFFFFFFFEu, 0x7FFFFFFFu}) {
        try {
            decode(quel::Lock, str("a") + str("b") + u32(mode) + str("t4") + u32(1));
            ADD_FAILURE() << "accepted lock mode " << static_cast<int>(mode);
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "invalid lock mode");
        }
    }
}

TEST(StubRequest, TruncatedPayloadsThrowWithoutAllocating) {
    const struct {
        int type;
        std::string payload;
    } cases[] = {
        {quel::ExecSQL, ""},
        {quel::ExecSQL, str("a") + str("b")},
        {quel::GetAutoInc, str("a") + u32(1000)},
        // A huge string length or pair count with nothing behind it.
        {quel::SaveResult, u32(0xFFFFFFFF)},
        {quel::CalcAutoInc, str("a") + str("b") + str("c") + u32(0xFFFFFFFF)},
        {quel::Lock, str("a") + str("b") + u32(1) + str("t4")},
    };
    for (const auto& c : cases) {
        try {
            decode(c.type, c.payload);
            ADD_FAILURE() << "accepted payload of type " << c.type;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "message data truncated");
        }
    }
}

TEST(StubResponder, DefaultAnswersSucceedAndCountPerTriple) {
    stub::responder answers({});
    for (int type : {quel::ExecSQL, quel::SaveResult}) {
        const reply r = split(answers.respond(request_for(type, "a")));
        EXPECT_EQ(r.type, quel::Reply);
        EXPECT_TRUE(r.payload.empty());
    }
    // GetAutoInc and CalcAutoInc share one counter per (text1, text2, text3).
    const struct {
        int type;
        std::string text1;
        unsigned int expected;
    } counts[] = {{quel::GetAutoInc, "a", 1}, {quel::GetAutoInc, "a", 2}, {quel::CalcAutoInc, "a", 3},
                  {quel::GetAutoInc, "z", 1}, {quel::CalcAutoInc, "z", 2}};
    for (const auto& c : counts) {
        const reply r = split(answers.respond(request_for(c.type, c.text1)));
        const orbl::in_serialize in(r.payload.begin(), r.payload.end());
        if (c.type == quel::GetAutoInc) {
            bool no_value = true;
            in >> no_value;
            EXPECT_FALSE(no_value);
        }
        unsigned int value = 0;
        in >> value;
        EXPECT_EQ(value, c.expected) << c.text1;
    }
    const reply lock = split(answers.respond(request_for(quel::Lock, "a")));
    ASSERT_EQ(lock.payload.size(), 1u);
    EXPECT_EQ(lock.payload[0], 1);
}

TEST(StubResponder, RulesGiveReplyFieldsErrorsAndFaultsInOrder) {
    stub::responder answers(stub::parse_rules(R"({"rules": [
        {"match": {"type": "GetAutoInc", "text1": "none"}, "reply": {"no_value": true}},
        {"match": {"type": "GetAutoInc"}, "reply": {"value": 77}},
        {"match": {"type": "Lock"}, "reply": {"flag": false, "text": "held by 7"}, "then": "close"},
        {"match": {"type": "ExecSQL"}, "fault": "reset", "times": 1},
        {"match": {"type": "ExecSQL"}, "error": "no such table", "delay_ms": 5},
        {"match": {"type": "SaveResult"}, "raw": "00 01 02"}
    ]})"));

    const reply none = split(answers.respond(request_for(quel::GetAutoInc, "none")));
    EXPECT_EQ(none.payload, std::vector<char>{1});  // the flag alone

    const stub::answer valued = answers.respond(request_for(quel::GetAutoInc, "x"));
    EXPECT_EQ(valued.rule, 2u);
    const reply v = split(valued);
    EXPECT_EQ(std::string(v.payload.begin(), v.payload.end()), std::string(1, '\0') + u32(77));

    const stub::answer lock = answers.respond(request_for(quel::Lock, "x"));
    EXPECT_EQ(lock.then, stub::after::close);
    const reply l = split(lock);
    EXPECT_EQ(std::string(l.payload.begin(), l.payload.end()), std::string(1, '\0') + str("held by 7"));

    // "times": 1 lets the reset happen once; later ExecSQL requests fall
    // through to the next rule.
    EXPECT_EQ(answers.respond(request_for(quel::ExecSQL, "x")).what, stub::action::reset);
    const stub::answer refused = answers.respond(request_for(quel::ExecSQL, "x"));
    EXPECT_EQ(refused.what, stub::action::error);
    EXPECT_EQ(refused.delay_ms, 5);
    const reply e = split(refused);
    EXPECT_EQ(e.type, quel::ErrorReply);
    EXPECT_EQ(std::string(e.payload.begin(), e.payload.end()), str("no such table"));

    const stub::answer raw = answers.respond(request_for(quel::SaveResult, "x"));
    EXPECT_EQ(raw.bytes, std::string("\x00\x01\x02", 3));
}

}  // namespace
