// The DLL's entry point: the library's life in the host process.
//
// The loader calls quel2cln_entry (the linker's --entry), which wraps the C
// runtime's own entry point:
// - load: the runtime starts (constructors), the module handle is recorded
//   (quel2cln.ini is found beside the DLL), and the library's own unwinder
//   is made to know the DLL's frames;
// - a host thread ends: OpenSSL's state of that thread is freed;
// - FreeLibrary: the runtime's destructors run (the open connection is
//   closed), then everything the library took from the process is given
//   back (but the Winsock start-up, which only qm2_Done gives back), so a
//   host may load and unload the DLL any number of times;
// - process exit: nothing at all. Other threads are already gone and may
//   have held a lock of OpenSSL or of the heap; the system closes the
//   sockets itself.
#include <windows.h>

#include <openssl/crypto.h>

#include "components/win32/module_win32.h"
#include "components/files/paths.h"

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);

// The static libgcc's frame registry (unwind-dw2-fde.c).
extern "C" void __register_frame(void* begin);
extern "C" void __deregister_frame(void* begin);
extern "C" void* _Unwind_Find_FDE(void* pc, void* bases);

namespace __gnu_cxx {
void __freeres();  // frees libstdc++'s emergency exception pool
}

namespace {

// An empty object in this module's unwind table section: its address finds
// that section among the module's sections.
__attribute__((section(".eh_frame"), used)) const int unwind_table_marker[0] = {};

void* registered_frames = nullptr;
// The runtime started; when it did not, the loader's detach call has
// nothing to undo (the runtime has undone its own start already).
bool runtime_started = false;

// Start of the section of `module` that holds `address`, or null.
void* section_holding(HMODULE module, const void* address) {
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    auto rva = static_cast<DWORD>(static_cast<const unsigned char*>(address) - base);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        DWORD start = section->VirtualAddress;
        if (rva >= start && rva - start < section->Misc.VirtualSize)
            return const_cast<unsigned char*>(base + section->VirtualAddress);
    }
    return nullptr;
}

// The runtime's start-up registers the DLL's unwind tables with a shared
// libgcc_s_dw2-1.dll instead of the library's own static libgcc when the
// process already has that DLL (any MinGW-built host or plug-in may bring
// it in). The library's throws would then find no tables and end in
// std::terminate. So when its own unwinder does not know its frames, the
// whole unwind table section is registered with it here.
void register_own_frames(HMODULE module) {
    void* bases[3];
    void* own_code = reinterpret_cast<void*>(&orbl::own_module_path);
    if (_Unwind_Find_FDE(static_cast<char*>(own_code) + 1, bases)) return;
    registered_frames = section_holding(module, unwind_table_marker);
    if (registered_frames) __register_frame(registered_frames);
}

// Thread-local-storage slots taken by code of this module and not given
// back. The static winpthread takes one on first use and never frees it;
// each load would lose a slot, and a host that loads the DLL per job would
// run out of them after about a thousand loads. So the module's imports of
// TlsAlloc and TlsFree go through the two functions below, which keep the
// account, and every slot still held is freed at unload.
constexpr DWORD slot_limit = 1088;  // 64 plus the 1,024 of the expansion
LONG slot_held[slot_limit];

template <typename Fn>
Fn kernel32_function(const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

// Looked up on each call (a few per load), with no guarded static: the
// runtime's guards may themselves take a slot.
DWORD WINAPI take_slot() {
    DWORD slot = kernel32_function<DWORD(WINAPI*)()>("TlsAlloc")();
    if (slot < slot_limit) ::InterlockedExchange(&slot_held[slot], 1);
    return slot;
}

BOOL WINAPI give_slot(DWORD slot) {
    if (slot < slot_limit) ::InterlockedExchange(&slot_held[slot], 0);
    return kernel32_function<BOOL(WINAPI*)(DWORD)>("TlsFree")(slot);
}

void give_back_slots() {
    for (DWORD slot = 0; slot < slot_limit; ++slot)
        if (::InterlockedExchange(&slot_held[slot], 0)) give_slot(slot);
}

// The runtime keeps state for every thread that called into it (winpthread
// a thread record with a duplicate of the thread's handle, emulated
// thread-locals their blocks) and frees it when the thread ends. The thread
// that unloads the DLL does not end here, so its state is freed as if it
// did, through the module's own thread-local-storage callbacks.
void end_runtime_state_of_this_thread(HMODULE module) {
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (entry.VirtualAddress == 0) return;
    auto tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + entry.VirtualAddress);
    auto callback = reinterpret_cast<const PIMAGE_TLS_CALLBACK*>(tls->AddressOfCallBacks);
    for (; callback && *callback; ++callback) (*callback)(module, DLL_THREAD_DETACH, nullptr);
}

// After the runtime's destructors: nothing of the library runs any more.
// OpenSSL's globals and thread-local slots go first, then what the
// runtime, the unwinder and libstdc++ still hold. The Winsock start-up is
// not given back here: WSACleanup must not run under the loader lock, so
// only qm2_Done gives it back, and a host that unloads without it leaves
// one reference behind (WS2_32 stays loaded for the process's lifetime in
// any case).
void release_process_state(HMODULE module) {
    OPENSSL_cleanup();
    end_runtime_state_of_this_thread(module);
    if (registered_frames) __deregister_frame(registered_frames);
    registered_frames = nullptr;
    __gnu_cxx::__freeres();
    give_back_slots();
}

}  // namespace

// The import address entries of TlsAlloc and TlsFree for the code linked
// into this module, in place of the import library's.
extern "C" {
extern DWORD(WINAPI* const quel2cln_tls_alloc)() __asm__("__imp__TlsAlloc@0");
extern BOOL(WINAPI* const quel2cln_tls_free)(DWORD) __asm__("__imp__TlsFree@4");
DWORD(WINAPI* const quel2cln_tls_alloc)() = take_slot;
BOOL(WINAPI* const quel2cln_tls_free)(DWORD) = give_slot;
}

// The work is done around the runtime's entry point, in quel2cln_entry.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

extern "C" BOOL WINAPI quel2cln_entry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        orbl::win32::set_module_handle(instance);
        if (!DllMainCRTStartup(instance, reason, reserved)) return FALSE;
        runtime_started = true;
        register_own_frames(instance);
        return TRUE;
    case DLL_THREAD_DETACH:
        OPENSSL_thread_stop();
        return DllMainCRTStartup(instance, reason, reserved);
    case DLL_PROCESS_DETACH:
        if (reserved || !runtime_started) return TRUE;  // process exit, or a failed load
        runtime_started = false;
        DllMainCRTStartup(instance, reason, reserved);
        release_process_state(instance);
        return TRUE;
    default:
        return DllMainCRTStartup(instance, reason, reserved);
    }
}
