// Paths on POSIX: "/" separates, a path starting with "/" is absolute, and
// the library's own location comes from dladdr.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "components/files/paths.h"
#include "components/text/text.h"

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

// Reads until end of file, at most `max_bytes`; the buffer grows by
// doubling, each old block wiped by its allocator. False for a read error
// (errno set) or a longer file (errno 0).
bool read_all(int fd, std::size_t expected, std::size_t max_bytes, secret_string& contents) {
    contents.assign(std::min(expected, max_bytes) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == contents.size()) {
            if (got > max_bytes) {
                errno = 0;
                return false;
            }
            contents.resize(std::min(contents.size() * 2, max_bytes + 1));
        }
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

file_status read_file(const std::wstring& path, secret_string& contents, std::size_t max_bytes,
                      int* os_error) {
    int ignored = 0;
    int& error = os_error ? *os_error : ignored;
    error = 0;
    contents.clear();
    std::string name = wide_to_utf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) return file_status::unreadable;
    // Without waiting: opening a FIFO for reading would otherwise wait for a
    // writer, and some devices wait on open. Neither is read anyway.
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return error == ENOENT ? file_status::missing : file_status::unreadable;
    }
    fd_closer closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = errno;
        return file_status::unreadable;
    }
    if (!S_ISREG(info.st_mode) || static_cast<unsigned long long>(info.st_size) > max_bytes)
        return file_status::unreadable;
    if (!read_all(fd, static_cast<std::size_t>(info.st_size), max_bytes, contents)) {
        error = errno;
        wipe(contents);
        return file_status::unreadable;
    }
    return file_status::read;
}

}  // namespace orbl
