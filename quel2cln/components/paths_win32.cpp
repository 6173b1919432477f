// Paths on Windows: "\" and "/" both separate; the library's own location
// comes from GetModuleFileNameW with the module handle the entry point
// recorded; files are opened by their wide names.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "components/module_win32.h"
#include "components/paths.h"

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

}  // namespace

// "C:\x", "C:/x", "\\server\share\x" and "\x" (the root of the current
// drive) stand on their own, and so does a bare "C:": it is what the
// directory of "C:\quel2cln.dll" comes to, and joining a name to it must give
// "C:\name". Anything else ("x", "C:x") is taken relative to a base.
bool is_absolute_path(const std::wstring& path) {
    if (path.empty()) return false;
    if (is_separator(path[0])) return true;
    if (path.size() < 2 || !is_drive_letter(path[0]) || path[1] != L':') return false;
    return path.size() == 2 || is_separator(path[2]);
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

bool read_file(const std::wstring& path, std::string& contents) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
    std::FILE* file = ::_wfopen(path.c_str(), L"rb");
    if (!file) return false;
    contents.clear();
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) contents.append(chunk, count);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

}  // namespace orbl
