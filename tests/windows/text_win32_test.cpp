// Host names are widened with the ANSI code page (or the one asked for).
#include <gtest/gtest.h>

#include <string>

#include "components/text.h"

namespace {

TEST(TextWin32, CharToWide) {
    struct Case {
        unsigned int code_page;  // 0: the ANSI code page
        std::string text;
        std::wstring wide;
    };
    const Case cases[] = {
        {0, "db-host.example", L"db-host.example"},
        {0, "", L""},
        {0, std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {1252, "caf\xe9", L"caf\u00e9"},
        {65001, "caf\xc3\xa9", L"caf\u00e9"},
        {65001, "\xf0\x9f\x98\x80", L"\U0001F600"},  // a surrogate pair in UTF-16
    };
    for (const Case& c : cases) {
        std::wstring out = L"old";
        orbl::text_encoding encoding;
        encoding.code_page = c.code_page;
        EXPECT_TRUE(orbl::char_to_wide(c.text, out, encoding)) << c.text;
        EXPECT_EQ(out, c.wide) << c.text;
    }
}

}  // namespace
