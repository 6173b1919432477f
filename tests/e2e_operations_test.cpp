// The five operations through the exports: the exact bytes each request
// puts on the wire and what each reply gives back to the host.

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "protocol/message.h"

namespace qtest {
namespace {

std::vector<int> connections_of(const std::vector<Request>& requests) {
    std::vector<int> result;
    for (const Request& r : requests) result.push_back(r.connection);
    return result;
}

// The header of a request, written out by hand.
std::string request_header(int type, std::size_t data_size) {
    return Wire()
        .raw("QUELMAR2")
        .raw("1001")
        .raw(std::string(8, '\0'))
        .byte(static_cast<unsigned char>(type))
        .raw(std::string(3, '\0'))
        .u32(static_cast<std::uint32_t>(data_size))
        .raw(std::string(4, '\0'));
}

// Answers each request type with a reply its operation can read.
Answer answer_by_type(const Request& request) {
    switch (request.type) {
    case quel::GetAutoInc: return reply(Wire().flag(false).u32(7));
    case quel::CalcAutoInc: return reply(Wire().u32(7));
    case quel::Lock: return reply(Wire().flag(true));
    default: return reply();
    }
}

TEST_F(EndToEnd, EachOperationsRequestBytes) {
    server.set_default(answer_by_type);
    const std::string odd = "caf\xc3\xa9 \x80\xff,:.;\t";
    struct Case {
        const char* name;
        std::function<bool(LoadedLibrary&)> call;
        int type;
        std::string payload;
    };
    const Case cases[] = {
        {"exec", [&](LoadedLibrary& l) { return l.ExecSQL("select 1", odd.c_str(), "x"); },
         quel::ExecSQL, Wire().str("select 1").str(odd).str("x")},
        {"exec nulls", [](LoadedLibrary& l) { return l.ExecSQL(nullptr, "", nullptr); },
         quel::ExecSQL, Wire().str("").str("").str("")},
        {"get auto inc",
         [](LoadedLibrary& l) { return l.GetAutoInc("tab", "fld", nullptr, nullptr, nullptr); },
         quel::GetAutoInc, Wire().str("tab").str("fld").str("")},
        {"calc auto inc",
         [](LoadedLibrary& l) {
             unsigned int v;
             return l.CalcAutoInc("t", "g", "k", " id : 1 , co.de : 2 ", &v);
         },
         quel::CalcAutoInc,
         Wire().str("t").str("g").str("k").u32(2).str("id").str("1").str("code").str("2")},
        {"calc auto inc, no fields",
         [](LoadedLibrary& l) { return l.CalcAutoInc("t", nullptr, "", nullptr, nullptr); },
         quel::CalcAutoInc, Wire().str("t").str("").str("").u32(0)},
        {"save result",
         [](LoadedLibrary& l) { return l.SaveResult("1", "22", nullptr, "4444", "55555"); },
         quel::SaveResult, Wire().str("1").str("22").str("").str("4444").str("55555")},
        {"lock -1",
         [](LoadedLibrary& l) { return l.Lock("a", "b", -1, "ignored", 77, nullptr, nullptr, 0); },
         quel::Lock, Wire().str("a").str("b").i32(-1)},
        {"lock 0",
         [](LoadedLibrary& l) {
             return l.Lock("a", nullptr, 0, "c", 0xFFFFFFFFu, nullptr, nullptr, 0);
         },
         quel::Lock, Wire().str("a").str("").i32(0).str("c").u32(0xFFFFFFFFu)},
        {"lock 1",
         [](LoadedLibrary& l) { return l.Lock("", "b", 1, nullptr, 5, nullptr, nullptr, 0); },
         quel::Lock, Wire().str("").str("b").i32(1).str("").u32(5)},
    };
    for (const Case& c : cases) {
        std::size_t before = requests().size();
        EXPECT_TRUE(c.call(*lib)) << c.name << ": " << lib->last_error();
        std::vector<Request> seen = requests();
        ASSERT_EQ(seen.size(), before + 1) << c.name;
        EXPECT_EQ(seen.back().frame, request_header(c.type, c.payload.size()) + c.payload)
            << c.name;
    }
}

TEST_F(EndToEnd, RepliesReachTheOutParameters) {
    server.script(reply(Wire().flag(false).u32(0)));
    server.script(reply(Wire().flag(true).u32(99)));
    server.script(reply(Wire().u32(4000000000u).u32(1)));
    server.script(reply(Wire().flag(false).str("held by job 12")));
    server.script(reply(Wire().flag(false).str("not read")));

    bool no_value = true;
    unsigned int value = 5;
    EXPECT_TRUE(lib->GetAutoInc("", "", "", &no_value, &value));
    EXPECT_FALSE(no_value);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(lib->GetAutoInc("", "", "", &no_value, &value));
    EXPECT_TRUE(no_value);
    EXPECT_EQ(value, 0u);

    EXPECT_TRUE(lib->CalcAutoInc("", "", "", "a:b", &value));
    EXPECT_EQ(value, 4000000000u);

    bool granted = true;
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_TRUE(lib->Lock("", "", 0, "", 0, &granted, text, 4));
    EXPECT_FALSE(granted);
    EXPECT_EQ(std::string(text, 8), std::string("held\0###", 8));

    std::memset(text, '#', sizeof text);
    granted = true;
    EXPECT_TRUE(lib->Lock("", "", 1, "", 0, &granted, text, 7));
    EXPECT_FALSE(granted);
    EXPECT_EQ(std::string(text, 8), std::string(8, '#'));
}

TEST_F(EndToEnd, MalformedFieldListSendsNothing) {
    server.set_default(answer_by_type);
    unsigned int value = 3;
    for (const char* list : {"a", "a:b,c", ":", "a:b:c"}) {
        EXPECT_FALSE(lib->CalcAutoInc("", "", "", list, &value)) << list;
        EXPECT_EQ(lib->last_error(), "invalid field list format");
        EXPECT_EQ(value, 3u);
    }
    EXPECT_TRUE(lib->CalcAutoInc("", "", "", "a:b", &value));
    std::vector<Request> seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload, Wire().str("").str("").str("").u32(1).str("a").str("b").bytes());
}

TEST_F(EndToEnd, LockModeOutsideTheThreeSendsNothing) {
    bool granted = true;
    char text[4] = "abc";
    for (int mode : {2, -2, 100}) {
        EXPECT_FALSE(lib->Lock("", "", mode, "", 0, &granted, text, 3)) << mode;
        EXPECT_EQ(lib->last_error(), "invalid lock mode");
    }
    EXPECT_TRUE(granted);
    EXPECT_STREQ(text, "abc");
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(EndToEnd, OversizedRequestIsRefusedAndTheConnectionStays) {
    EXPECT_TRUE(lib->ExecSQL("", "", ""));
    // Three strings: 12 length bytes plus the texts, one byte above the bound.
    const std::string huge(62914560 - 11, 'q');
    EXPECT_FALSE(lib->ExecSQL(huge.c_str(), "", ""));
    EXPECT_EQ(lib->last_error(), "message data too big");
    EXPECT_TRUE(lib->ExecSQL("after", "", "")) << lib->last_error();
    std::vector<Request> seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].connection, 1);
    EXPECT_EQ(seen[1].payload, Wire().str("after").str("").str("").bytes());
}

TEST_F(EndToEnd, MessagesInPiecesAndBackToBack) {
    // Generous receive time-out: the pauses only split the deliveries.
    reload("[Connect]\nPause=0\n[Advanced]\nSocketTimeout=5000\nTailTimeout=5000\n");
    const std::string first = frame(quel::Reply, Wire().flag(false).u32(1));
    const std::string second = frame(quel::Reply, Wire().flag(false).u32(2));
    const std::string third = frame(quel::Reply, Wire().flag(false).u32(3));
    // A header in two pieces, then a payload in two pieces.
    server.script(raw(first.substr(0, 10)) + pause(50) + raw(first.substr(10, 24)) + pause(50) +
                  raw(first.substr(34)));
    // Two answers at once: the second belongs to the next request.
    server.script(raw(second + third));
    // Nothing more comes; should a byte have been lost, the close ends the
    // wait for it.
    server.script(pause(5000) + close_connection());

    unsigned int values[3] = {};
    bool no_value = true;
    for (unsigned int& value : values)
        EXPECT_TRUE(lib->GetAutoInc("", "", "", &no_value, &value)) << lib->last_error();
    EXPECT_EQ(values[0], 1u);
    EXPECT_EQ(values[1], 2u);
    EXPECT_EQ(values[2], 3u);
    // The third answer was there before the third request reached the server.
    EXPECT_TRUE(server.wait_for_requests(3));
    EXPECT_EQ(connections_of(requests()), (std::vector<int>{1, 1, 1}));
}

TEST_F(EndToEnd, LargeMessagesTravelWhole) {
    // Several megabytes each way: partial sends and many tail reads. The
    // whole tail must arrive within the tail time-out; give it room.
    reload("[Connect]\nPause=0\n[Advanced]\nSocketTimeout=5000\nTailTimeout=5000\n");
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    server.script(reply(Wire().flag(false).str(big)));
    bool granted = true;
    std::vector<char> text(big.size() + 1, '#');
    EXPECT_TRUE(lib->Lock(big.c_str(), "", 0, "", 0, &granted,
                          text.data(), static_cast<unsigned int>(big.size())))
        << lib->last_error();
    EXPECT_FALSE(granted);
    EXPECT_EQ(std::string(text.data()), big);
    std::vector<Request> seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload, Wire().str(big).str("").i32(0).str("").u32(0).bytes());
}

}  // namespace
}  // namespace qtest
