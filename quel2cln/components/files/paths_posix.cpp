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
    capped_read result = read_capped(static_cast<std::size_t>(info.st_size), max_bytes, contents,
                                     [fd](char* buffer, std::size_t size) -> long {
                                         for (;;) {
                                             ssize_t count = ::read(fd, buffer, size);
                                             if (count >= 0 || errno != EINTR) return count;
                                         }
                                     });
    if (result != capped_read::done) {
        error = result == capped_read::failed ? errno : 0;
        wipe(contents);
        return file_status::unreadable;
    }
    return file_status::read;
}

}  // namespace orbl
