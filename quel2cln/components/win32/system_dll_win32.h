#pragma once
// Room win32/: Windows-only helpers: system_dll_win32.* (DLLs from System32
// only, pinned) and module_win32.h (the library's own module handle).
//
// Functions of Windows DLLs that are not KnownDLLs (CRYPT32, ...). The
// library does not import such DLLs: the loader would look for them in the
// host's application directory first, where a planted copy could be found.
// They are loaded from the System32 directory only, on first use, and stay
// in the process for its lifetime (pinned), so that no FreeLibrary of them
// ever falls to the library's unload.
//
//   auto open_store = orbl::win32::system_function<decltype(&::CertOpenStore)>(
//       L"crypt32.dll", "CertOpenStore");
//   if (!open_store) ...  // the DLL or the function is missing
//
// Only the host's calling thread may use them (the host never calls the
// library from two threads at once).
#include <windows.h>

namespace orbl::win32 {

// The module `name` (a file name such as L"crypt32.dll", a literal: it is
// kept) from System32;
// null when it cannot be loaded (GetLastError tells why).
HMODULE system_module(const wchar_t* name) noexcept;

template <typename Fn>
Fn system_function(const wchar_t* module, const char* name) noexcept {
    HMODULE handle = system_module(module);
    if (!handle) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(handle, name)));
}

}  // namespace orbl::win32
