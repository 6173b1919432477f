/* A stand-in for a system DLL, planted beside a host under a system DLL's
 * name (crypt32.dll, rsaenh.dll, bcrypt.dll): loading it leaves a file
 * "<its path>.loaded" behind, and the load fails, so the planted copy is
 * never used. lifetime_test.cpp checks that no such file appears. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    char path[MAX_PATH + 8];
    DWORD length;
    HANDLE marker;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcpyA(path + length, ".loaded");
        marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    return FALSE;
}
