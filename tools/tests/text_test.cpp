#include <gtest/gtest.h>

#include "../common/text.h"

namespace {

TEST(ToolsText, Utf8Validity) {
    const struct {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xc3\xa9t\xc3\xa9", true},           // été
        {"\xe2\x82\xac", true},                // euro sign
        {"\xf0\x9f\x98\x80", true},            // four bytes
        {std::string("a\0b", 3), true},        // NUL is valid UTF-8
        {"\xc0\xaf", false},                   // overlong
        {"\xe0\x80\xaf", false},               // overlong, three bytes
        {"\xed\xa0\x80", false},               // surrogate
        {"\xf4\x90\x80\x80", false},           // above U+10FFFF
        {"\xe2\x82", false},                   // cut short
        {"\xff", false},
        {"ok\x80", false},                     // lone continuation byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(tools::is_valid_utf8(c.bytes), c.valid) << tools::to_hex(c.bytes);
}

TEST(ToolsText, HexDecoding) {
    const struct {
        std::string text;
        bool ok;
        std::string bytes;
    } cases[] = {
        {"", true, ""},
        {"00ff7A", true, std::string("\x00\xff\x7a", 3)},
        {"51 55\n45\t4c", true, "QUEL"},
        {"0", false, ""},
        {"0 0", false, ""},
        {"zz", false, ""},
        {"0x10", false, ""},
    };
    for (const auto& c : cases) {
        std::string out = "unchanged";
        EXPECT_EQ(tools::from_hex(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.ok ? c.bytes : "unchanged") << c.text;
    }
}

TEST(ToolsText, JsonTextFallsBackToHexForInvalidUtf8) {
    EXPECT_EQ(tools::json_text("caf\xc3\xa9").dump(), "\"caf\xc3\xa9\"");
    EXPECT_EQ(tools::json_text("a\xff").dump(), R"({"hex":"61ff"})");
}

TEST(ToolsText, LineEscaping) {
    const struct {
        std::string bytes;
        std::string line;
    } cases[] = {
        {"plain", "plain"},
        {"two\nlines\r", "two\\nlines\\r"},
        {"tab\there", "tab\\there"},
        {"back\\slash", "back\\\\slash"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"\x7f", "\\x7f"},
        {"\xc3\xa9", "\xc3\xa9"},
        {"bad\xff", "bad\\xff"},
    };
    for (const auto& c : cases) EXPECT_EQ(tools::escape_line(c.bytes), c.line);
}

}  // namespace
