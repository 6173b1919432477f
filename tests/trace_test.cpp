// Decoding of payloads for the trace: every layout, and payloads that end
// early, which must end the fields without reading past them.
#include <gtest/gtest.h>

#include <string>

#include "protocol/trace_messages.h"
#include "support/wire.h"

namespace {

using qtest::Wire;

TEST(TraceFields, DecodesEveryLayoutAndStopsAtTheEnd) {
    const struct {
        int request, lock_mode, answer;  // answer 0: decode the request
        std::string payload, expected;
    } cases[] = {
        {quel::CalcAutoInc, 0, 0, Wire().str("a").str("").str("c").u32(1).str("x").str("1"),
         R"( text1[1]="a" text2[0]="" text3[1]="c" count=1 fields[3]="x:1")"},
        // A long list is cut like a text; its length counts every entry.
        {quel::CalcAutoInc, 0, 0,
         Wire().str("").str("").str("").u32(2).str(std::string(150, 'n')).str("1").str(std::string(99, 'm')).str("\n"),
         R"( text1[0]="" text2[0]="" text3[0]="" count=2 fields[254]=")" + std::string(150, 'n') +
             ":1," + std::string(47, 'm') + R"("...)"},
        {quel::Lock, -1, 0, Wire().str("t").str("u").i32(-1),
         R"( text1[1]="t" text2[1]="u" lock_mode=-1)"},
        {quel::Lock, 0, 0, Wire().str("t").str("u").i32(0).str("me").u32(7),
         R"( text1[1]="t" text2[1]="u" lock_mode=0 text4[2]="me" number=7)"},
        {quel::ExecSQL, 0, 0, Wire().str("a").u32(5).raw("bc"), R"( text1[1]="a" truncated)"},
        {quel::CalcAutoInc, 0, 0, Wire().str("").str("").str("").u32(1000000),
         R"( text1[0]="" text2[0]="" text3[0]="" count=1000000 fields[0]="" truncated)"},
        {quel::GetAutoInc, 0, quel::Reply, Wire().flag(true), " no_value=true"},
        {quel::GetAutoInc, 0, quel::Reply, Wire().flag(false).u32(9), " no_value=false value=9"},
        {quel::Lock, 0, quel::Reply, Wire().flag(false).str("held"), R"( flag=false text[4]="held")"},
        {quel::Lock, -1, quel::Reply, Wire().flag(false), ""},
        {quel::ExecSQL, 0, quel::ErrorReply, Wire().u32(3), " truncated"},
    };
    for (const auto& c : cases) {
        const std::string& p = c.payload;
        EXPECT_EQ(c.answer == 0 ? quel::trace::request_fields(c.request, p.data(), p.size())
                                : quel::trace::answer_fields(c.request, c.lock_mode, c.answer,
                                                             p.data(), p.size()),
                  c.expected);
    }
}

}  // namespace
