// Windows only: the DLL finds quel2cln.ini beside itself through its wide
// module path, also in a directory whose name the ANSI code page cannot
// spell (where narrow file calls would fail).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "quel2cln.h"
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
    // Attempts=2 instead of 3 at load: a call that meets a closed connection
    // on every try makes 3 tries instead of 4.
    ASSERT_TRUE(write_wide(ini, "[Connect]\r\nAttempts=2\r\nPause=0\r\n"));
    qtest::TestServer server;
    server.set_default([](const qtest::Request&) { return qtest::close_connection(); });

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
    EXPECT_STREQ(text, "(0) connection closed by peer");
    EXPECT_EQ(server.connections(), 3);
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
