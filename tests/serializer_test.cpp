#include "components/text/serializer.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/errors.h"
#include "support/wire.h"

namespace {

using qtest::Wire;

std::string written(const orbl::out_serialize& writer) {
    std::vector<char> buffer;
    writer.append_to(buffer);
    EXPECT_EQ(buffer.size(), writer.size());
    return std::string(buffer.begin(), buffer.end());
}

std::vector<char> bytes_of(const std::string& text) {
    return std::vector<char>(text.begin(), text.end());
}

// One sequence of values, written through each of the three writers.
struct Writes {
    template <typename Write>
    Writes(Write write) : grow(write), size(write), fixed(write) {}
    std::function<void(orbl::out_serialize&)> grow;
    std::function<void(orbl::size_serialize&)> size;
    std::function<void(orbl::fixed_serialize&)> fixed;
};

// The growing writer, the sizing writer and the writer into fixed room must
// agree byte for byte.
TEST(Serializer, EncodesEachTypeAsDocumented) {
    struct Case {
        const char* name;
        Writes write;
        std::string expected;
    };
    const Case cases[] = {
        {"uint", [](auto& w) { w << 0x01020304u; }, std::string("\x04\x03\x02\x01", 4)},
        {"uint max", [](auto& w) { w << 0xFFFFFFFFu; }, std::string(4, '\xff')},
        {"int -1", [](auto& w) { w << -1; }, std::string(4, '\xff')},
        {"int min", [](auto& w) { w << INT_MIN; }, std::string("\0\0\0\x80", 4)},
        {"bool true", [](auto& w) { w << true; }, std::string("\x01", 1)},
        {"bool false", [](auto& w) { w << false; }, std::string("\x00", 1)},
        {"empty string", [](auto& w) { w << std::string(); }, std::string(4, '\0')},
        {"string", [](auto& w) { w << std::string("a\0\xff", 3); },
         std::string("\x03\0\0\0a\0\xff", 7)},
    };
    for (const Case& c : cases) {
        orbl::out_serialize writer;
        c.write.grow(writer);
        EXPECT_EQ(written(writer), c.expected) << c.name;

        orbl::size_serialize size;
        c.write.size(size);
        EXPECT_EQ(size.size(), c.expected.size()) << c.name;
        std::string room(c.expected.size(), '?');
        orbl::fixed_serialize fixed(room.data(), room.data() + room.size());
        c.write.fixed(fixed);
        EXPECT_EQ(room, c.expected) << c.name;
        EXPECT_EQ(fixed.remaining(), 0u) << c.name;
        // Room left over goes out as zeros, never as what it held before.
        std::string roomy(c.expected.size() + 3, '?');
        orbl::fixed_serialize spare(roomy.data(), roomy.data() + roomy.size());
        c.write.fixed(spare);
        spare.clear_rest();
        EXPECT_EQ(roomy, c.expected + std::string(3, '\0')) << c.name;
        EXPECT_EQ(spare.remaining(), 0u) << c.name;
        // One byte short: refused, and nothing written past the room.
        std::string short_room(c.expected.size(), '?');
        orbl::fixed_serialize cut(short_room.data(), short_room.data() + short_room.size() - 1);
        EXPECT_THROW(c.write.fixed(cut), std::length_error) << c.name;
        EXPECT_EQ(short_room.back(), '?') << c.name;
    }
}

TEST(Serializer, RoundTripsMixedValuesInOrder) {
    const std::string text("bytes \0 with \x80\xff and a NUL", 26);
    orbl::out_serialize writer;
    writer << std::string("first") << 7u << -123456 << true << text << false << std::string()
           << 0xDEADBEEFu;
    std::vector<char> payload = bytes_of(written(writer));

    orbl::in_serialize reader(payload.cbegin(), payload.cend());
    std::string s1, s2, s3;
    unsigned int u1 = 0, u2 = 0;
    int i1 = 0;
    bool b1 = false, b2 = true;
    reader >> s1 >> u1 >> i1 >> b1 >> s2 >> b2 >> s3 >> u2;
    EXPECT_EQ(s1, "first");
    EXPECT_EQ(u1, 7u);
    EXPECT_EQ(i1, -123456);
    EXPECT_TRUE(b1);
    EXPECT_EQ(s2, text);
    EXPECT_FALSE(b2);
    EXPECT_EQ(s3, "");
    EXPECT_EQ(u2, 0xDEADBEEFu);
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(Serializer, AppendToKeepsBytesAlreadyInTheBuffer) {
    orbl::out_serialize writer;
    writer << 1u;
    std::vector<char> buffer = bytes_of("head");
    writer.append_to(buffer);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string("head\x01\0\0\0", 8));
}

TEST(Serializer, AnyNonZeroByteReadsAsTrue) {
    for (unsigned char byte : {0x01, 0x02, 0x7f, 0x80, 0xff}) {
        std::vector<char> payload{static_cast<char>(byte)};
        orbl::in_serialize reader(payload.cbegin(), payload.cend());
        bool value = false;
        reader >> value;
        EXPECT_TRUE(value) << int(byte);
    }
    std::vector<char> zero{0};
    bool value = true;
    orbl::in_serialize(zero.cbegin(), zero.cend()) >> value;
    EXPECT_FALSE(value);
}

// Reads one value of the named kind from `payload`; returns what() of the
// exception, or "" when the read succeeded.
std::string read_failure(const std::string& kind, const std::string& payload) {
    std::vector<char> bytes = bytes_of(payload);
    orbl::in_serialize reader(bytes.cbegin(), bytes.cend());
    try {
        if (kind == "bool") {
            bool v;
            reader >> v;
        } else if (kind == "uint") {
            unsigned int v;
            reader >> v;
        } else if (kind == "int") {
            int v;
            reader >> v;
        } else {
            std::string v;
            reader >> v;
        }
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(Serializer, ValueCutShortThrowsTruncated) {
    struct Case {
        const char* kind;
        std::string payload;
    };
    const Case cases[] = {
        {"bool", ""},
        {"uint", ""},
        {"uint", std::string("\x01\x02\x03", 3)},
        {"int", std::string("\xff", 1)},
        {"string", ""},
        {"string", std::string("\x05\0\0", 3)},          // length itself cut short
        {"string", Wire().u32(5).raw("abcd")},           // one byte missing
        {"string", Wire().u32(0xFFFFFFFFu).raw("ab")},   // absurd length
        {"string", Wire().u32(0x80000000u)},             // length only
    };
    for (const Case& c : cases)
        EXPECT_EQ(read_failure(c.kind, c.payload), "message data truncated")
            << c.kind << " from " << c.payload.size() << " bytes";
    EXPECT_STREQ(quel::frame_text::truncated, "message data truncated");
}

TEST(Serializer, HugeStringLengthIsRefusedBeforeAllocating) {
    std::vector<char> payload = bytes_of(Wire().u32(0xFFFFFFF0u).raw("xy"));
    orbl::in_serialize reader(payload.cbegin(), payload.cend());
    std::string value;
    EXPECT_THROW(reader >> value, std::runtime_error);
    // A reader that sized the string before checking would leave it huge.
    EXPECT_LT(value.capacity(), 1024u);
}

TEST(Serializer, ReaderStaysInsideItsRange) {
    // The range is the middle of a larger buffer: a string whose length
    // reaches past the range's end must not read the bytes behind it.
    std::vector<char> buffer = bytes_of(Wire().u32(6).raw("abc").raw("def"));
    orbl::in_serialize reader(buffer.cbegin(), buffer.cbegin() + 7);
    std::string value;
    EXPECT_THROW(reader >> value, std::runtime_error);

    orbl::in_serialize empty(buffer.cbegin(), buffer.cbegin());
    EXPECT_EQ(empty.remaining(), 0u);
}

}  // namespace
