// The DLL entry point: it only records the library's own module handle,
// which locates quel2cln.ini beside the DLL.
#include <windows.h>

#include "components/module_win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID) {
    orbl::win32::set_module_handle(instance);
    return TRUE;
}
