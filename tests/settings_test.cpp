#include "connection/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "components/net/socket.h"
#include "protocol/errors.h"
#include "support/platform.h"

namespace {
namespace tp = test_platform;

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// A temporary directory standing in for the library's own directory.
class LoadSettings : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tp::make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { tp::remove_tree(dir_); }

    // Writes `ini` (none when null) beside the module and loads the settings.
    quel::Settings load(const char* ini, const std::string& host = "127.0.0.1", int port = 9000) {
        if (ini) {
            EXPECT_TRUE(tp::write_file(tp::join_path(dir_, "quel2cln.ini"), ini));
        }
        quel::Settings settings;
        quel::load_settings(settings, host, port, module_path());
        return settings;
    }
    std::wstring module_path() const { return wide(tp::join_path(dir_, "libquel2cln.so")); }

    std::string dir_;
};

TEST_F(LoadSettings, DefaultsWithoutFileOrKeys) {
    for (const char* ini : {static_cast<const char*>(nullptr), "", "[Connect]\n[Other]\nX=1\n"}) {
        orbl::set_socket_security_params({L"old", L"old", L"old", L"old"});
        quel::Settings s = load(ini);
        EXPECT_EQ(s.attempts, 3);
        EXPECT_EQ(s.pause, 3000);
        EXPECT_EQ(s.security_level, 0);
        EXPECT_EQ(s.socket_timeout, 1000);
        EXPECT_EQ(s.tail_timeout, 10000);
        EXPECT_EQ(s.module_dir, wide(dir_));
        orbl::socket_security_param params = orbl::get_socket_security_params();
        EXPECT_EQ(params.cert_file, L"");
        EXPECT_EQ(params.key_file, L"");
        EXPECT_EQ(params.ca_file, L"");
        EXPECT_EQ(params.key_password, L"");
    }
}

TEST_F(LoadSettings, BoundsAttemptsAndPauseOnly) {
    struct Case {
        const char* ini;
        int attempts, pause, level, socket_timeout, tail_timeout;
    };
    const Case cases[] = {
        {"[Connect]\nAttempts=0\nPause=-1\n", 1, 0, 0, 1000, 10000},
        {"[Connect]\nAttempts=-5\nPause=60000\n", 1, 60000, 0, 1000, 10000},
        {"[Connect]\nAttempts=10\nPause=60001\n", 10, 60000, 0, 1000, 10000},
        {"[Connect]\nAttempts=11\nPause=0\n", 10, 0, 0, 1000, 10000},
        {"[Connect]\nAttempts=99999999999\nPause=-99999999999\n", 10, 0, 0, 1000, 10000},
        {"[Security]\nLevel=-3\n[Advanced]\nSocketTimeout=0\nTailTimeout=-5\n", 3, 3000, -3, 0,
         -5},
        {"[Security]\nLevel=7\n[Advanced]\nSocketTimeout=250\nTailTimeout=99999999999\n", 3,
         3000, 7, 250, 2147483647},
    };
    for (const Case& c : cases) {
        quel::Settings s = load(c.ini);
        EXPECT_EQ(s.attempts, c.attempts) << c.ini;
        EXPECT_EQ(s.pause, c.pause) << c.ini;
        EXPECT_EQ(s.security_level, c.level) << c.ini;
        EXPECT_EQ(s.socket_timeout, c.socket_timeout) << c.ini;
        EXPECT_EQ(s.tail_timeout, c.tail_timeout) << c.ini;
    }
}

TEST_F(LoadSettings, HostAndPortFromTheArguments) {
    struct Case {
        std::string host;
        int port;
        std::string stored_host;
        int stored_port;
    };
    const Case cases[] = {
        {"", 0, "localhost", 85},
        {"", -1, "localhost", 85},
        {"server.example:99", 70000, "server.example:99", 70000},
        {"::1", 1, "::1", 1},
    };
    for (const Case& c : cases) {
        quel::Settings s = load("[Connect]\nHost=other\nPort=1\n", c.host, c.port);
        EXPECT_EQ(s.host, c.stored_host);
        EXPECT_EQ(s.port, c.stored_port);
    }
}

TEST_F(LoadSettings, SecurityFilesResolvedAgainstTheModuleDirectory) {
    const std::string absolute = tp::join_path(tp::join_path(dir_, "elsewhere"), "ca.pem");
    const std::string ini = "[Security]\n"
                            "CertFile=client.pem\n"
                            "KeyFile=keys/client.key\n"
                            "CAFile=" + absolute + "\n"
                            "KeyPswd=keys/not-a-path\n";
    load(ini.c_str());
    orbl::socket_security_param params = orbl::get_socket_security_params();
    EXPECT_EQ(params.cert_file, wide(tp::join_path(dir_, "client.pem")));
    EXPECT_EQ(params.key_file, wide(tp::join_path(dir_, "keys/client.key")));
    EXPECT_EQ(params.ca_file, wide(absolute));
    EXPECT_EQ(params.key_password, L"keys/not-a-path");
}

TEST_F(LoadSettings, FileIsReadFromTheModulesDirectoryOnly) {
    // An ini in another directory is not looked at.
    std::string other = tp::make_temp_dir();
    ASSERT_TRUE(tp::write_file(tp::join_path(other, "quel2cln.ini"), "[Connect]\nAttempts=7\n"));
    quel::Settings s;
    quel::load_settings(s, "h", 1, module_path());
    EXPECT_EQ(s.attempts, 3);
    quel::load_settings(s, "h", 1, wide(tp::join_path(other, "libquel2cln.so")));
    EXPECT_EQ(s.attempts, 7);
    tp::remove_tree(other);
}

TEST_F(LoadSettings, EachLoadReplacesEveryValue) {
    quel::Settings s = load("[Connect]\nAttempts=7\nPause=5\n[Advanced]\nTailTimeout=1\n");
    EXPECT_EQ(s.attempts, 7);
    EXPECT_TRUE(tp::write_file(tp::join_path(dir_, "quel2cln.ini"), "[Connect]\nPause=6\n"));
    quel::load_settings(s, "h", 1, module_path());
    EXPECT_EQ(s.attempts, 3);
    EXPECT_EQ(s.pause, 6);
    EXPECT_EQ(s.tail_timeout, 10000);
}

// UTF-16 files (with their byte-order mark, as Windows tools write them)
// are read; a quel2cln.ini that exists but cannot be read fails the load
// rather than leaving TLS off by default.
TEST_F(LoadSettings, Utf16FilesAreReadAndAnUnreadableFileFails) {
    const std::u16string text = u"[Connect]\r\nAttempts=7\r\n[Security]\r\nKeyPswd=p\u00e9 \U0001F511\r\n";
    std::string little = "\xFF\xFE", big = "\xFE\xFF";
    for (char16_t unit : text) {
        little += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
        big += {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
    }
    for (const std::string& bytes : {little, big}) {
        ASSERT_TRUE(tp::write_file(tp::join_path(dir_, "quel2cln.ini"), bytes));
        quel::Settings s = load(nullptr);
        EXPECT_EQ(s.attempts, 7);
        EXPECT_EQ(orbl::get_socket_security_params().key_password, L"p\u00e9 \U0001F511");
    }

    // Not a regular file, or too large: refused without waiting on it.
    namespace fs = std::filesystem;
    const std::string ini = tp::join_path(dir_, "quel2cln.ini");
    const std::function<bool()> unreadable[] = {
        [&] { return fs::create_directory(ini); },
        [&] { return tp::make_fifo(ini); },
        [&] { return fs::exists("/dev/zero") && (fs::create_symlink("/dev/zero", ini), true); },
        [&] {
            if (!tp::write_file(ini, "[Connect]\nAttempts=7\n")) return false;
            fs::resize_file(ini, (1u << 20) + 1);  // sparse, beyond the 1 MiB of a settings file
            return true;
        },
    };
    for (const auto& make : unreadable) {
        fs::remove_all(ini);
        if (!make()) continue;  // not on this platform
        quel::Settings s;
        try {
            quel::load_settings(s, "127.0.0.1", 9000, module_path());
            ADD_FAILURE() << "read as a settings file";
        } catch (const quel::client_error& error) {
            EXPECT_STREQ(error.what(), "cannot read quel2cln.ini");
        }
        // A host that calls on anyway gets no connection, least of all plain TCP.
        EXPECT_TRUE(s.security_level < 0 || s.security_level > 2) << s.security_level;
    }
}

// A Level that is there but not a whole number fails the load: the default
// would be plain TCP. A comment after the number is not part of it.
TEST_F(LoadSettings, SecurityLevelFailsClosed) {
    struct Case {
        const char* line;
        int level;  // -1: the load fails
    };
    const Case cases[] = {
        {"Level=2 ; verify the host name", 2}, {"Level=1\t# plain", 1}, {"", 0},
        {"Level=two", -1}, {"Level=2.0", -1}, {"Level=0x2", -1}, {"Level=", -1}, {"Level= ; none", -1},
    };
    for (const Case& c : cases) {
        const std::string ini = std::string("[Advanced]\nSocketTimeout=5000 ; five seconds\n[Security]\n") + c.line + "\n";
        try {
            quel::Settings s = load(ini.c_str());
            EXPECT_EQ(s.security_level, c.level) << c.line;
            EXPECT_EQ(s.socket_timeout, 5000);
        } catch (const quel::client_error& error) {
            EXPECT_EQ(c.level, -1) << c.line;
            EXPECT_STREQ(error.what(), "invalid security level in quel2cln.ini");
        }
    }
}

}  // namespace
