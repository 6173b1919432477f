#pragma once
// Room files/: what the library reads from disk.
//   paths.h, paths.cpp, paths_posix.cpp, paths_win32.cpp  the module's
//                    directory, path joins, reading a regular file with a cap
//   profile.h, profile.cpp  the INI reader
//
// Path helpers and the library's own location.

#include <cstddef>
#include <functional>
#include <string>

#include "components/text/secret.h"

namespace orbl {

// The platform's preferred separator ('/' on POSIX, '\\' on Windows, where
// '/' is accepted as well).
extern const wchar_t path_separator;

// Directory part of `path` without its trailing separator; empty when the
// path has no directory.
std::wstring extract_dir(const std::wstring& path);

// `path` made absolute: kept when already absolute, joined to `base`
// otherwise; an empty `path` gives an empty result. False when no absolute
// path could be made (empty or relative `base`, or a `path` that depends on
// the process's current drive: see is_relative_path); `out` then holds
// `path`.
bool get_absolute_path(const std::wstring& base, const std::wstring& path, std::wstring& out);

bool is_absolute_path(const std::wstring& path);
// True for a path that is meant to be joined to a directory. Neither this
// nor absolute: a Windows path relative to the current drive ("\x") or to
// a drive's current directory ("C:x").
bool is_relative_path(const std::wstring& path);
// `relative` joined to the absolute directory `base`.
std::wstring join_path(const std::wstring& base, const std::wstring& relative);

// Full path of the library's own module file; empty when unknown.
std::wstring own_module_path();

// not_utf8: read, but the text is in no encoding this system can take for
// it (set by the readers of text files).
enum class file_status { read, missing, unreadable, not_utf8 };

// Reads a whole file in one go into `contents`, whose blocks are wiped, so
// no copy of what the file holds is left in freed memory. The file is opened
// without waiting: a FIFO or device never holds the caller up. `missing`
// when there is no such file; `unreadable` when it exists but cannot be read
// (access denied, opened by another program without sharing, not a regular
// file, more than `max_bytes` long, a read error). `os_error`, when given,
// gets the system's error code of the failure (0 when there was none, as for
// a file of the wrong type or size).
file_status read_file(const std::wstring& path, secret_string& contents, std::size_t max_bytes,
                      int* os_error = nullptr);

// For the platform's read_file: reads through `read_some` until it gives 0
// (end of file), at most `max_bytes`. The buffer starts at `expected` + 1
// bytes and grows by doubling, each old block wiped by its allocator.
// read_some(buffer, size) gives the bytes it read, 0 at end of file, or -1
// for a read error.
enum class capped_read { done, failed, too_long };
capped_read read_capped(std::size_t expected, std::size_t max_bytes, secret_string& contents,
                        const std::function<long(char*, std::size_t)>& read_some);

}  // namespace orbl
