// A quel2cln.ini that is neither UTF-16 nor UTF-8 has no encoding on Linux:
// qm2_Init fails and says so, rather than reading garbled paths.
#include <gtest/gtest.h>

#include "connection/settings.h"
#include "protocol/errors.h"
#include "support/platform.h"

namespace {
namespace tp = test_platform;

TEST(TextPosix, IniThatIsNotUtf8FailsTheLoad) {
    std::string dir = tp::make_temp_dir();
    ASSERT_TRUE(tp::write_file(tp::join_path(dir, "quel2cln.ini"),
                               "[Security]\nLevel=0\nCAFile=Zert-M\xFCller/ca.pem\n"));
    std::string module = tp::join_path(dir, "libquel2cln.so");
    quel::Settings s;
    try {
        quel::load_settings(s, "127.0.0.1", 9000, std::wstring(module.begin(), module.end()));
        ADD_FAILURE() << "a cp1252 file was read as UTF-8";
    } catch (const quel::client_error& error) {
        EXPECT_STREQ(error.what(), "quel2cln.ini is not utf-8 text");
    }
    EXPECT_TRUE(s.security_level < 0 || s.security_level > 2) << s.security_level;
    tp::remove_tree(dir);
}

}  // namespace
