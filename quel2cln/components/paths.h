#pragma once
// Path helpers and the library's own location.

#include <string>

namespace orbl {

// The platform's preferred separator ('/' on POSIX, '\\' on Windows, where
// '/' is accepted as well).
extern const wchar_t path_separator;

// Directory part of `path` without its trailing separator; empty when the
// path has no directory.
std::wstring extract_dir(const std::wstring& path);

// `path` made absolute: kept when already absolute, joined to `base`
// otherwise; an empty `path` gives an empty result. False when no absolute
// path could be made (empty or relative `base`); `out` then holds `path`.
bool get_absolute_path(const std::wstring& base, const std::wstring& path, std::wstring& out);

bool is_absolute_path(const std::wstring& path);

// Full path of the library's own module file; empty when unknown.
std::wstring own_module_path();

// Reads a whole file; false when it cannot be opened or read.
bool read_file(const std::wstring& path, std::string& contents);

}  // namespace orbl
