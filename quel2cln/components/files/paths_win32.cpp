// Paths on Windows: "\" and "/" both separate; the library's own location
// comes from GetModuleFileNameW with the module handle the entry point
// recorded; files are opened by their wide names.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "components/win32/module_win32.h"
#include "components/files/paths.h"

namespace orbl {

namespace win32 {

namespace {
void* recorded_module = nullptr;
}  // namespace

void set_module_handle(void* module) noexcept {
    recorded_module = module;
}

void* module_handle() noexcept {
    return recorded_module;
}

}  // namespace win32

const wchar_t path_separator = L'\\';

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool is_drive_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool has_drive(const std::wstring& path) {
    return path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':';
}

bool is_extended(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0;
}

// The extended form of an absolute drive ("C:\x") or UNC ("\\server\share")
// path; empty for any other (a device path such as "\\.\x").
std::wstring extended_form(const std::wstring& path) {
    if (has_drive(path)) return L"\\\\?\\" + path;
    if (path.size() > 2 && is_separator(path[0]) && is_separator(path[1]) && path[2] != L'.' &&
        path[2] != L'?')
        return L"\\\\?\\UNC\\" + path.substr(2);
    return {};
}

}  // namespace

// "C:\x", "C:/x" and "\\server\share\x" (also "\\?\C:\x") stand on their own,
// and so does a bare "C:": it is what the directory of "C:\quel2cln.dll"
// comes to, and joining a name to it must give "C:\name". "\x" and "C:x"
// depend on the process's current drive or its current directory there,
// which the library never uses: they are neither absolute nor relative.
bool is_absolute_path(const std::wstring& path) {
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return true;
    if (!has_drive(path)) return false;
    return path.size() == 2 || is_separator(path[2]);
}

bool is_relative_path(const std::wstring& path) {
    return !path.empty() && !is_separator(path[0]) && !has_drive(path);
}

// An extended ("\\?\") path is used by the system as it is written, so the
// joined path is made canonical here: "\" separators only, "." dropped and
// ".." resolved, never above the base's root ("\\?\C:" or
// "\\?\UNC\server\share"). Other paths are left to the system, unless the
// join is longer than MAX_PATH allows: file functions refuse such a path on
// systems without long-path support, so it is used in its extended form,
// which works wherever the directory itself does.
std::wstring join_path(const std::wstring& base, const std::wstring& relative) {
    if (!is_extended(base)) {
        std::wstring out = base;
        if (!is_separator(out.back())) out += L'\\';
        out += relative;
        std::wstring extended = out.size() < MAX_PATH ? std::wstring() : extended_form(base);
        return extended.empty() ? out : join_path(extended, relative);
    }
    std::vector<std::wstring> parts;
    std::wstring rest = base.substr(4) + L'\\' + relative;
    std::size_t root_parts = rest.compare(0, 4, L"UNC\\") == 0 ? 3 : 1;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = start;
        while (end < rest.size() && !is_separator(rest[end])) ++end;
        std::wstring part = rest.substr(start, end - start);
        if (part == L"..") {
            if (parts.size() > root_parts) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring out = L"\\\\?";
    for (const std::wstring& part : parts) out += L'\\' + part;
    if (parts.size() <= root_parts) out += L'\\';
    return out;
}

// GetModuleFileNameW cuts a path that does not fit and returns the size it
// was given; a cut path would name some ancestor directory. So the buffer
// grows until the whole path fits, up to the longest path Windows has
// (32,767 characters); beyond that, or on failure, the path is unknown.
std::wstring own_module_path() {
    constexpr DWORD longest_path = 32767;
    HMODULE module = static_cast<HMODULE>(win32::module_handle());
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD length = ::GetModuleFileNameW(module, &buffer[0], size);
        if (length == 0) return {};
        if (length < size) {
            buffer.resize(length);
            return buffer;
        }
        if (size > longest_path) return {};
        buffer.resize(std::min<DWORD>(size * 2, longest_path + 1));
    }
}

namespace {

struct handle_closer {
    HANDLE handle;
    ~handle_closer() { ::CloseHandle(handle); }
};

// False for a read error, or a file longer than `max_bytes` (then with
// ERROR_FILE_TOO_LARGE).
bool read_all(HANDLE file, std::size_t max_bytes, secret_string& contents) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) return false;
    capped_read result = capped_read::too_long;
    if (size.QuadPart >= 0 && static_cast<unsigned long long>(size.QuadPart) <= max_bytes) {
        result = read_capped(static_cast<std::size_t>(size.QuadPart), max_bytes, contents,
                             [file](char* buffer, std::size_t room) -> long {
                                 DWORD count = 0;
                                 DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(room, 1u << 30));
                                 if (!::ReadFile(file, buffer, wanted, &count, nullptr)) return -1;
                                 return static_cast<long>(count);
                             });
    }
    if (result == capped_read::too_long) ::SetLastError(ERROR_FILE_TOO_LARGE);
    return result == capped_read::done;
}

}  // namespace

// Opened with every sharing mode, so a program that merely has the file open
// does not stand in the way; one that holds it without sharing does, and
// that is reported, not taken for a missing file. Only a disk file is read:
// a pipe, console or device could hold the caller up on every read.
file_status read_file(const std::wstring& path, secret_string& contents, std::size_t max_bytes,
                      int* os_error) {
    int ignored = 0;
    int& error = os_error ? *os_error : ignored;
    error = 0;
    contents.clear();
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return file_status::unreadable;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = ::GetLastError();
        error = static_cast<int>(code);
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? file_status::missing
                                                                           : file_status::unreadable;
    }
    handle_closer closer{file};
    if (::GetFileType(file) != FILE_TYPE_DISK) return file_status::unreadable;
    if (!read_all(file, max_bytes, contents)) {
        error = static_cast<int>(::GetLastError());
        wipe(contents);
        return file_status::unreadable;
    }
    return file_status::read;
}

}  // namespace orbl
