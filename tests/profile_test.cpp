#include "components/files/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <new>
#include <string>

#include "components/text/secret.h"

namespace {

TEST(Profile, IntegerValues) {
    struct Case {
        const char* value;
        int expected;  // -777 is the default passed to read()
    };
    const Case cases[] = {
        {"5", 5},
        {"+5", 5},
        {"-5", -5},
        {"-0", 0},
        {"007", 7},
        {"  12  ", 12},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
        {"", -777},
        {"+", -777},
        {"-", -777},
        {"12abc", -777},
        {"1 2", -777},
        {"0x10", -777},
        {"1e3", -777},
        {"1.5", -777},
        {"--1", -777},
        {"five", -777},
        // A comment after a blank ends a number; not without the blank.
        {"2 ; verify the host name", 2},
        {"5000\t# five seconds", 5000},
        {"2;x", -777},
        {"; 2", -777},
    };
    for (const Case& c : cases) {
        orbl::profile ini = orbl::profile::from_text(std::string("[S]\nK=") + c.value + "\n");
        EXPECT_EQ(ini.read("S", "K", -777), c.expected) << "\"" << c.value << "\"";
    }
}

TEST(Profile, Syntax) {
    struct Case {
        const char* name;
        std::string text;
        int expected;  // read("Connect", "Attempts", -1)
    };
    const Case cases[] = {
        {"plain", "[Connect]\nAttempts=4\n", 4},
        {"names any case", "[CONNECT]\nattempts=4\n", 4},
        {"names trimmed", "[ Connect ]\n  Attempts  =  4  \n", 4},
        {"CRLF", "[Connect]\r\nAttempts=4\r\n", 4},
        {"no final newline", "[Connect]\nAttempts=4", 4},
        {"BOM", "\xEF\xBB\xBF[Connect]\nAttempts=4\n", 4},
        {"first occurrence wins", "[Connect]\nAttempts=4\nAttempts=5\n", 4},
        {"first across repeated sections", "[Connect]\nAttempts=4\n[X]\n[Connect]\nAttempts=5\n",
         4},
        {"semicolon comment", "[Connect]\n;Attempts=4\nAttempts=6\n", 6},
        {"hash comment", "[Connect]\n  # Attempts=4\nAttempts=6\n", 6},
        {"other section", "[Other]\nAttempts=4\n", -1},
        {"before any section", "Attempts=4\n[Connect]\n", -1},
        {"line without equals", "[Connect]\nAttempts\nAttempts=7\n", 7},
        {"empty value", "[Connect]\nAttempts=\n", -1},
        {"empty file", "", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(orbl::profile::from_text(c.text).read("Connect", "Attempts", -1), c.expected)
            << c.name;
}

TEST(Profile, WideTexts) {
    orbl::profile ini = orbl::profile::from_text(
        "[Security]\nCertFile = certs/caf\xC3\xA9.pem \nKeyPswd=a=b ;c #d\nEmpty=\n");
    EXPECT_EQ(ini.read_wstr("Security", "CertFile", L"def"), L"certs/caf\u00e9.pem");
    EXPECT_EQ(ini.read_wstr("security", "keypswd", L"def"), L"a=b ;c #d");
    EXPECT_EQ(ini.read_wstr("Security", "Empty", L"def"), L"");
    EXPECT_EQ(ini.read_wstr("Security", "Missing", L"def"), L"def");
}

TEST(Profile, MissingFileReadsAsEmpty) {
    orbl::profile ini(L"/nonexistent-dir-for-quel2cln-tests/quel2cln.ini");
    EXPECT_EQ(ini.read("Connect", "Attempts", 3), 3);
    EXPECT_EQ(ini.read_wstr("Security", "CertFile", L""), L"");
}

// wipe() overwrites all the storage of a secret, a short text kept inside
// the string object as well as a long one on the heap.
template <typename Text>
void expect_wiped(Text text) {
    const auto* storage = reinterpret_cast<const unsigned char*>(&text[0]);
    const std::size_t bytes = (text.capacity() + 1) * sizeof text[0];
    orbl::wipe(text);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(std::all_of(storage, storage + bytes, [](unsigned char b) { return b == 0; }));
}

TEST(Secret, WipeClearsShortAndLongTexts) {
    expect_wiped(orbl::secret_string("pw1"));
    expect_wiped(orbl::secret_string(100, 'k'));
    expect_wiped(orbl::secret_wstring(L"pw1"));
    expect_wiped(orbl::secret_wstring(100, L'k'));
}

// A short secret lives inside the holder itself, where no allocator sees
// it: the holder's own end must overwrite it.
TEST(Secret, HolderWipesAShortTextWhenItGoes) {
    const std::string password = "pw-short";
    alignas(orbl::scoped_secret) unsigned char storage[sizeof(orbl::scoped_secret)];
    auto* held = new (storage) orbl::scoped_secret{orbl::secret_string(password.c_str())};
    const auto holds_it = [&] {
        return std::search(storage, storage + sizeof storage, password.begin(), password.end()) !=
               storage + sizeof storage;
    };
    ASSERT_TRUE(holds_it()) << "the text is not kept inside the string here";
    held->~scoped_secret();
    EXPECT_FALSE(holds_it());
}

}  // namespace
