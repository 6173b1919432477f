#include "components/win32/system_dll_win32.h"

#include <cwchar>
#include <string>

namespace orbl::win32 {

namespace {

struct loaded_module {
    const wchar_t* name;
    HMODULE handle;
};

// A few modules at most (CRYPT32 today).
loaded_module loaded[4];

HMODULE load_from_system32(const wchar_t* name) {
    // The module and the modules it needs from System32 only (Windows 8,
    // or 7 with its update for the flag).
    HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // Without the flag: by full path, and its dependencies looked for
    // beside it first.
    wchar_t dir[MAX_PATH];
    UINT length = ::GetSystemDirectoryW(dir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    try {
        std::wstring path = std::wstring(dir, length) + L'\\' + name;
        return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

HMODULE system_module(const wchar_t* name) noexcept {
    loaded_module* free_entry = nullptr;
    for (loaded_module& entry : loaded) {
        if (entry.handle && std::wcscmp(entry.name, name) == 0) return entry.handle;
        if (!entry.handle && !free_entry) free_entry = &entry;
    }
    if (!free_entry) return nullptr;
    HMODULE module = load_from_system32(name);
    if (!module) return nullptr;
    // Kept for the process's lifetime: FreeLibrary of it would otherwise
    // fall to the library's unload, under the loader lock, where it must
    // not be called.
    HMODULE pinned;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(module), &pinned);
    *free_entry = {name, module};
    return module;
}

}  // namespace orbl::win32
