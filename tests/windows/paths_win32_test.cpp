// Windows paths: where quel2cln.ini and the certificate files are looked for,
// given the DLL's own path.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "components/files/paths.h"

namespace {

TEST(PathsWin32, AbsolutePaths) {
    struct Case {
        const wchar_t* path;
        bool absolute;
    };
    const Case cases[] = {
        {L"C:\\dir\\a.pem", true}, {L"c:/dir/a.pem", true}, {L"\\\\server\\share\\a.pem", true},
        {L"\\\\?\\C:\\a.pem", true}, {L"\\dir\\a.pem", false}, {L"/dir/a.pem", false},
        {L"C:", true},             {L"a.pem", false},       {L"keys\\a.pem", false},
        {L"C:a.pem", false},       {L"1:\\a.pem", false},   {L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(orbl::is_absolute_path(c.path), c.absolute) << c.path;
}

// A path that depends on the current drive ("\\x") or on a drive's current
// directory ("C:x") is neither joined to the module's directory nor taken
// as it is.
TEST(PathsWin32, CurrentDrivePathsAreRefused) {
    for (const wchar_t* path : {L"\\ca.pem", L"/certs/ca.pem", L"C:ca.pem", L"c:certs\\ca.pem"}) {
        std::wstring out;
        EXPECT_FALSE(orbl::get_absolute_path(L"C:\\app", path, out)) << path;
        EXPECT_FALSE(orbl::is_relative_path(path)) << path;
    }
}

// The directory of the module path, then a file name joined to it.
TEST(PathsWin32, FilesBesideTheModule) {
    struct Case {
        const wchar_t* module;
        const wchar_t* file;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"C:\\app\\quel2cln.dll", L"quel2cln.ini", L"C:\\app\\quel2cln.ini"},
        {L"C:\\quel2cln.dll", L"quel2cln.ini", L"C:\\quel2cln.ini"},
        {L"\\\\server\\share\\quel2cln.dll", L"quel2cln.ini", L"\\\\server\\share\\quel2cln.ini"},
        {L"C:/app/quel2cln.dll", L"keys\\client.key", L"C:/app\\keys\\client.key"},
        {L"C:\\app\\quel2cln.dll", L"D:\\certs\\ca.pem", L"D:\\certs\\ca.pem"},
        {L"C:\\app\\quel2cln.dll", L"", L""},
        // An extended-length path is used as written: the join is made canonical.
        {L"\\\\?\\C:\\dir\\quel2cln.dll", L"certs/ca.pem", L"\\\\?\\C:\\dir\\certs\\ca.pem"},
        {L"\\\\?\\C:\\dir\\sub\\quel2cln.dll", L"..\\certs\\.\\ca.pem", L"\\\\?\\C:\\dir\\certs\\ca.pem"},
        {L"\\\\?\\C:\\dir\\quel2cln.dll", L"../../../ca.pem", L"\\\\?\\C:\\ca.pem"},
        {L"\\\\?\\C:\\quel2cln.dll", L"..", L"\\\\?\\C:\\"},
        {L"\\\\?\\UNC\\srv\\share\\quel2cln.dll", L"../../x//ca.pem", L"\\\\?\\UNC\\srv\\share\\x\\ca.pem"},
    };
    for (const Case& c : cases) {
        std::wstring out;
        EXPECT_TRUE(orbl::get_absolute_path(orbl::extract_dir(c.module), c.file, out)) << c.module;
        EXPECT_EQ(out, c.expected) << c.module << L" + " << c.file;
    }
}

// A join longer than MAX_PATH allows is used in its extended form, made
// canonical; one that fits is left as it is.
TEST(PathsWin32, LongJoinsTakeTheExtendedForm) {
    const std::wstring dir(240, L'd');
    struct Case {
        std::wstring base;
        std::wstring file;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"C:\\" + dir, L"certs/../ca.pem", L"C:\\" + dir + L"\\certs/../ca.pem"},
        {L"C:\\" + dir, L"certs/./ca-of-the-company.pem",
         L"\\\\?\\C:\\" + dir + L"\\certs\\ca-of-the-company.pem"},
        {L"c:/" + dir + L"/sub", L"../certs/ca.pem", L"\\\\?\\c:\\" + dir + L"\\certs\\ca.pem"},
        {L"\\\\srv\\share\\" + dir, L"..\\..\\..\\certificates\\ca.pem",
         L"\\\\?\\UNC\\srv\\share\\certificates\\ca.pem"},
    };
    for (const Case& c : cases) EXPECT_EQ(orbl::join_path(c.base, c.file), c.expected) << c.file;
}

// Only a disk file is read: a pipe or a device could hold the caller up on
// every read, and neither holds settings.
TEST(PathsWin32, OnlyDiskFilesAreRead) {
    const std::wstring pipe = L"\\\\.\\pipe\\quel2cln-read-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE server = ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                       4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    for (const std::wstring& path : {pipe, std::wstring(L"NUL")}) {
        orbl::secret_string contents;
        EXPECT_EQ(orbl::read_file(path, contents, 1u << 20), orbl::file_status::unreadable);
    }
    ::CloseHandle(server);
}

}  // namespace
