#pragma once
// The library's own module handle on Windows, recorded by the DLL entry
// point and used to find the path of the module file.

namespace orbl::win32 {

// `module` is the HINSTANCE the loader passed to the entry point.
void set_module_handle(void* module) noexcept;
// Null until recorded (when the code is linked into an executable instead
// of the DLL, null stands for that executable).
void* module_handle() noexcept;

}  // namespace orbl::win32
