#include "components/files/paths.h"

#include <algorithm>

namespace orbl {

namespace {

bool is_separator(wchar_t c) {
    return c == L'/' || (path_separator == L'\\' && c == L'\\');
}

}  // namespace

std::wstring extract_dir(const std::wstring& path) {
    std::size_t end = path.size();
    while (end > 0 && !is_separator(path[end - 1])) --end;
    if (end == 0) return {};
    // Keep a lone root separator ("/x" gives "/").
    std::size_t dir_end = end - 1;
    while (dir_end > 0 && is_separator(path[dir_end - 1])) --dir_end;
    return dir_end == 0 ? path.substr(0, 1) : path.substr(0, dir_end);
}

bool get_absolute_path(const std::wstring& base, const std::wstring& path, std::wstring& out) {
    if (path.empty()) {
        out.clear();
        return true;
    }
    if (is_absolute_path(path)) {
        out = path;
        return true;
    }
    if (!is_relative_path(path) || base.empty() || !is_absolute_path(base)) {
        out = path;
        return false;
    }
    out = join_path(base, path);
    return true;
}

capped_read read_capped(std::size_t expected, std::size_t max_bytes, secret_string& contents,
                        const std::function<long(char*, std::size_t)>& read_some) {
    contents.assign(std::min(expected, max_bytes) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == contents.size()) {
            if (got > max_bytes) return capped_read::too_long;
            contents.resize(std::min(contents.size() * 2, max_bytes + 1));
        }
        long count = read_some(&contents[got], contents.size() - got);
        if (count == 0) break;
        if (count < 0) return capped_read::failed;
        got += static_cast<std::size_t>(count);
    }
    contents.resize(got);
    return capped_read::done;
}

}  // namespace orbl
