// Paths on POSIX: "/" separates, a path starting with "/" is absolute, and
// the library's own location comes from dladdr.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "components/paths.h"
#include "components/text.h"

namespace orbl {

const wchar_t path_separator = L'/';

bool is_absolute_path(const std::wstring& path) {
    return !path.empty() && path[0] == L'/';
}

bool is_relative_path(const std::wstring& path) {
    return !path.empty() && !is_absolute_path(path);
}

std::wstring join_path(const std::wstring& base, const std::wstring& relative) {
    std::wstring out = base;
    if (out.empty() || out.back() != L'/') out += L'/';
    return out + relative;
}

std::wstring own_module_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&own_module_path), &info) == 0 || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved)) return {};
    return utf8_to_wide(resolved);
}

namespace {

struct fd_closer {
    int fd;
    ~fd_closer() { ::close(fd); }
};

// Reads until end of file; the buffer grows by doubling, each old block
// wiped by its allocator.
bool read_all(int fd, std::size_t expected, secret_string& contents) {
    contents.assign(expected + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == contents.size()) contents.resize(contents.size() * 2);
        ssize_t count = ::read(fd, &contents[got], contents.size() - got);
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<std::size_t>(count);
    }
    contents.resize(got);
    return true;
}

}  // namespace

file_status read_file(const std::wstring& path, secret_string& contents) {
    contents.clear();
    std::string name = wide_to_utf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) return file_status::unreadable;
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENOENT ? file_status::missing : file_status::unreadable;
    fd_closer closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return file_status::unreadable;
    std::size_t expected = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 4096;
    if (!read_all(fd, expected, contents)) {
        wipe(contents);
        return file_status::unreadable;
    }
    return file_status::read;
}

}  // namespace orbl
