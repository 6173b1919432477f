#include "operations/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The copy into a host text buffer of length + 1 bytes, shared by
// qm2_LastError and qm2_Lock.
TEST(CopyText, WritesAtMostLengthBytesAndATerminator) {
    struct Case {
        const char* name;
        std::string text;
        unsigned int length;
        std::string buffer;  // all 12 bytes afterwards
    };
    const Case cases[] = {
        {"fits", "hello", 10, std::string("hello\0######", 12)},
        {"exact", "hello", 5, std::string("hello\0######", 12)},
        {"cut", "hello", 3, std::string("hel\0########", 12)},
        {"length 0", "hello", 0, std::string("\0###########", 12)},
        {"empty text", "", 10, std::string("\0###########", 12)},
        {"NUL inside", std::string("ab\0cd", 5), 10, std::string("ab\0\0\0\0######", 12)},
        {"NUL inside, cut", std::string("ab\0cd", 5), 3, std::string("ab\0\0########", 12)},
        {"high bytes", "\x80\xff", 5, std::string("\x80\xff\0#########", 12)},
    };
    for (const Case& c : cases) {
        std::string buffer(12, '#');
        quel::copy_text(c.text, &buffer[0], c.length);
        EXPECT_EQ(buffer, c.buffer) << c.name;
    }
}

TEST(CopyText, HugeLengthIsBoundedByTheText) {
    std::string buffer(8, '#');
    quel::copy_text("abc", &buffer[0], 0xFFFFFFFFu);
    EXPECT_EQ(buffer, std::string("abc\0####", 8));
}

}  // namespace
