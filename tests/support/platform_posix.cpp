#include "support/platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace test_platform {
namespace {

sock bind_loopback(int& port, bool ipv6) {
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return no_sock;
    sockaddr_storage storage{};
    socklen_t len;
    if (ipv6) {
        auto& addr = reinterpret_cast<sockaddr_in6&>(storage);
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        len = sizeof addr;
    } else {
        auto& addr = reinterpret_cast<sockaddr_in&>(storage);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof addr;
    }
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(fd, address, len) != 0 || ::getsockname(fd, address, &len) != 0) {
        ::close(fd);
        return no_sock;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                      : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    return fd;
}

bool wait_readable(sock socket, int timeout_ms) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeout_ms);
        if (r >= 0) return r > 0;
        if (errno != EINTR) return false;
    }
}

}  // namespace

sock listen_loopback(int& port, bool ipv6) {
    sock fd = bind_loopback(port, ipv6);
    if (fd == no_sock) return no_sock;
    if (::listen(static_cast<int>(fd), 16) != 0) {
        ::close(static_cast<int>(fd));
        return no_sock;
    }
    return fd;
}

sock listen_on(const char* ipv4, int& port, int backlog) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    if (inet_pton(AF_INET, ipv4, &addr.sin_addr) != 1) return no_sock;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return no_sock;
    socklen_t len = sizeof addr;
    auto* address = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(fd, address, len) != 0 || ::getsockname(fd, address, &len) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return no_sock;
    }
    port = ntohs(addr.sin_port);
    return static_cast<sock>(fd);
}

sock reserve_refusing_port(int& port) { return bind_loopback(port, false); }

sock accept_within(sock listener, int timeout_ms) {
    if (!wait_readable(listener, timeout_ms)) return no_sock;
    int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? no_sock : fd;
}

long receive_within(sock socket, char* buffer, std::size_t size, int timeout_ms) {
    if (!wait_readable(socket, timeout_ms)) return recv_timed_out;
    for (;;) {
        ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return recv_failed;
    }
}

bool send_all(sock socket, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void close_socket(sock socket) {
    if (socket != no_sock) ::close(static_cast<int>(socket));
}

void shutdown_sending(sock socket) {
    if (socket != no_sock) ::shutdown(static_cast<int>(socket), SHUT_WR);
}

namespace {
std::int64_t cpu_ms(clockid_t clock) {
    timespec used{};
    ::clock_gettime(clock, &used);
    return static_cast<std::int64_t>(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
}
}  // namespace

std::int64_t process_cpu_ms() { return cpu_ms(CLOCK_PROCESS_CPUTIME_ID); }
std::int64_t thread_cpu_ms() { return cpu_ms(CLOCK_THREAD_CPUTIME_ID); }

std::size_t open_handles() {
    std::error_code error;
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

void reset_socket(sock socket) {
    if (socket == no_sock) return;
    linger l{1, 0};
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(static_cast<int>(socket));
}

void* load_library(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* text = ::dlerror();
        error = text ? text : "dlopen failed";
    }
    return handle;
}

void* find_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void unload_library(void* library) {
    if (library) ::dlclose(library);
}

std::string library_file_name(const std::string& built_path) {
    return std::filesystem::path(built_path).filename().string();
}

std::string make_temp_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quel2cln-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

void remove_tree(const std::string& dir) {
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}

bool copy_file(const std::string& from, const std::string& to) {
    std::error_code error;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                      error);
}

bool write_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return static_cast<bool>(out);
}

std::string join_path(const std::string& dir, const std::string& name) {
    return (std::filesystem::path(dir) / name).string();
}

bool run_command(const std::string& command, std::string& output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return false;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    int status = ::pclose(pipe);
    return status == 0;
}

bool make_fifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

int open_fifo_reader(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

void close_fd(int fd) { ::close(fd); }

void set_environment(const char* name, const char* value) {
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
}

}  // namespace test_platform
