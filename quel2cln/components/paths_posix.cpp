// Paths on POSIX: "/" separates, a path starting with "/" is absolute, and
// the library's own location comes from dladdr.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "components/paths.h"
#include "components/text.h"

namespace orbl {

const wchar_t path_separator = L'/';

bool is_absolute_path(const std::wstring& path) {
    return !path.empty() && path[0] == L'/';
}

std::wstring own_module_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&own_module_path), &info) == 0 || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved)) return {};
    return utf8_to_wide(resolved);
}

bool read_file(const std::wstring& path, std::string& contents) {
    std::ifstream file(wide_to_utf8(path), std::ios::binary);
    if (!file) return false;
    contents.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

}  // namespace orbl
