// Windows only: the DLL finds quel2cln.ini beside itself through its wide
// module path, also in a directory whose name the ANSI code page cannot
// spell (where narrow file calls would fail), and in one whose path is
// longer than MAX_PATH.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "quel2cln.h"
#include "support/platform.h"
#include "support/test_server.h"

namespace {

std::wstring widen(const std::string& text) {
    int needed = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(needed > 0 ? needed : 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], needed);
    out.resize(out.size() - 1);
    return out;
}

bool write_wide(const std::wstring& path, const char* text) {
    std::FILE* file = ::_wfopen(path.c_str(), L"wb");
    if (!file) return false;
    bool ok = std::fputs(text, file) >= 0;
    return std::fclose(file) == 0 && ok;
}

class WideDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
        // Latin, CJK and Cyrillic letters: no single ANSI code page has them all.
        dir = std::wstring(temp) + L"quel2cln-\u00e9\u4e2d\u6587\u0436-" +
              std::to_wstring(::GetCurrentProcessId());
        ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
        dll = dir + L"\\quel2cln.dll";
        ini = dir + L"\\quel2cln.ini";
        ASSERT_TRUE(::CopyFileW(widen(QUEL2CLN_LIBRARY_PATH).c_str(), dll.c_str(), FALSE));
    }
    void TearDown() override {
        if (module) ::FreeLibrary(module);
        ::DeleteFileW(dll.c_str());
        ::DeleteFileW(ini.c_str());
        ::RemoveDirectoryW(dir.c_str());
    }

    template <typename Fn>
    Fn find(const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    }

    std::wstring dir, dll, ini;
    HMODULE module = nullptr;
};

TEST_F(WideDirectory, IniBesideTheDllIsRead) {
    // Level=7 from the file: the call fails at once with its own text, where
    // the values at load would connect.
    ASSERT_TRUE(write_wide(ini, "[Connect]\r\nPause=0\r\n[Security]\r\nLevel=7\r\n"));
    qtest::TestServer server;

    module = ::LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr) << ::GetLastError();
    auto init = find<qm2_Init_fn>("qm2_Init");
    auto exec = find<qm2_ExecSQL_fn>("qm2_ExecSQL");
    auto last_error = find<qm2_LastError_fn>("qm2_LastError");
    ASSERT_TRUE(init && exec && last_error);

    ASSERT_TRUE(init("127.0.0.1", server.port()));
    EXPECT_FALSE(exec("select 1", "", ""));
    char text[64] = {};
    ASSERT_TRUE(last_error(text, sizeof text - 1));
    EXPECT_STREQ(text, "unsupported security level");
    EXPECT_EQ(server.connections(), 0);
}

// A module path cut at MAX_PATH would name an ancestor directory, whose
// quel2cln.ini (Level=7 in every ancestor here) someone else may write.
TEST(LongModulePath, IniBesideTheDllIsRead) {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring dir = L"\\\\?\\" + std::wstring(temp) + L"quel2cln-long-" +
                       std::to_wstring(::GetCurrentProcessId());
    std::vector<std::wstring> dirs;
    const char* connect = "[Connect]\r\nAttempts=1\r\nPause=0\r\n";
    for (;;) {
        ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr)) << ::GetLastError();
        dirs.push_back(dir);
        if (dir.size() > 2 * MAX_PATH) break;
        ASSERT_TRUE(write_wide(dir + L"\\quel2cln.ini",
                               (std::string(connect) + "[Security]\r\nLevel=7\r\n").c_str()));
        dir += L"\\" + std::wstring(60, L'd');
    }
    std::wstring dll = dir + L"\\quel2cln.dll";
    ASSERT_TRUE(::CopyFileW(widen(QUEL2CLN_LIBRARY_PATH).c_str(), dll.c_str(), FALSE));
    ASSERT_TRUE(write_wide(dir + L"\\quel2cln.ini",
                           (std::string(connect) + "[Security]\r\nLevel=0\r\n").c_str()));
    int port = 0;
    test_platform::sock refusing = test_platform::reserve_refusing_port(port);
    ASSERT_NE(refusing, test_platform::no_sock);

    HMODULE module = ::LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr) << ::GetLastError();
    auto find = [module](const char* name) {
        return reinterpret_cast<void*>(::GetProcAddress(module, name));
    };
    auto init = reinterpret_cast<qm2_Init_fn>(find("qm2_Init"));
    auto exec = reinterpret_cast<qm2_ExecSQL_fn>(find("qm2_ExecSQL"));
    auto last_error = reinterpret_cast<qm2_LastError_fn>(find("qm2_LastError"));
    char text[64] = {};
    EXPECT_TRUE(init("127.0.0.1", port));
    EXPECT_FALSE(exec("select 1", "", ""));
    EXPECT_TRUE(last_error(text, sizeof text - 1));
    EXPECT_STREQ(text, "connection refused");
    ::FreeLibrary(module);
    test_platform::close_socket(refusing);

    ::DeleteFileW(dll.c_str());
    for (auto at = dirs.rbegin(); at != dirs.rend(); ++at) {
        ::DeleteFileW((*at + L"\\quel2cln.ini").c_str());
        ::RemoveDirectoryW(at->c_str());
    }
}

// A quel2cln.ini that another program holds open without sharing is not
// taken for a missing one, whose defaults would turn TLS off.
TEST_F(WideDirectory, IniHeldWithoutSharingFailsInit) {
    ASSERT_TRUE(write_wide(ini, "[Security]\r\nLevel=1\r\n"));
    HANDLE held = ::CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << ::GetLastError();
    module = ::LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr) << ::GetLastError();
    auto init = find<qm2_Init_fn>("qm2_Init");
    auto last_error = find<qm2_LastError_fn>("qm2_LastError");
    ASSERT_TRUE(init && last_error);

    EXPECT_FALSE(init("127.0.0.1", 85));
    char text[64] = {};
    ASSERT_TRUE(last_error(text, sizeof text - 1));
    EXPECT_STREQ(text, "cannot read quel2cln.ini");
    ::CloseHandle(held);
    EXPECT_TRUE(init("127.0.0.1", 85));
}

}  // namespace
