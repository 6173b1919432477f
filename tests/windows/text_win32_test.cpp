// Host names are widened with the ANSI code page (or the one asked for);
// quel2cln.ini is read in it when it is neither UTF-16 nor UTF-8.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "components/files/profile.h"
#include "components/text/text.h"
#include "support/platform.h"

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

// As Notepad saved "ANSI" files for years: no byte-order mark, code page
// 1252 on a Western system. Valid UTF-8 is still taken as UTF-8.
TEST(TextWin32, IniWithoutByteOrderMarkThatIsNotUtf8IsReadInTheAnsiCodePage) {
    if (::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << ::GetACP();
    std::string dir = test_platform::make_temp_dir();
    std::string path = test_platform::join_path(dir, "quel2cln.ini");
    const std::wstring wide_path(path.begin(), path.end());
    const std::pair<std::string, std::wstring> cases[] = {
        {"[Security]\r\nCAFile=Zert-M\xFCller\\ca.pem\r\n", L"Zert-M\u00FCller\\ca.pem"},
        {"[Security]\r\nCAFile=Zert-M\xC3\xBCller\\ca.pem\r\n", L"Zert-M\u00FCller\\ca.pem"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(test_platform::write_file(path, c.first));
        orbl::profile ini(wide_path);
        EXPECT_EQ(ini.status(), orbl::file_status::read);
        EXPECT_EQ(ini.read_wstr("Security", "CAFile", L""), c.second) << c.first;
    }
    test_platform::remove_tree(dir);
}

}  // namespace
