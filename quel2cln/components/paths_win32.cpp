// Paths on Windows: "\" and "/" both separate; the library's own location
// comes from GetModuleFileNameW with the module handle the entry point
// recorded; files are opened by their wide names.
#include <windows.h>

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

std::wstring own_module_path() {
    // One character more than offered, all zero, so the text always ends
    // inside the buffer whatever GetModuleFileNameW returns.
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(static_cast<HMODULE>(win32::module_handle()), buffer, MAX_PATH);
    return buffer;
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
