// The tests' platform calls on Windows: Winsock for the loopback server,
// LoadLibrary for the built DLL, ANSI file calls for temporary directories
// (the tests' paths are in the ANSI code page, the narrow encoding here).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "support/platform.h"

namespace test_platform {
namespace {

bool winsock_started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET as_socket(sock socket) {
    return static_cast<SOCKET>(socket);
}

sock bind_loopback(int& port, bool ipv6) {
    if (!winsock_started()) return no_sock;
    SOCKET fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) return no_sock;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
    sockaddr_storage storage{};
    int len;
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
        ::closesocket(fd);
        return no_sock;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                      : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    return static_cast<sock>(fd);
}

bool wait_readable(sock socket, int timeout_ms) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(as_socket(socket), &ready);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return ::select(0, &ready, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit) > 0;
}

}  // namespace

sock listen_loopback(int& port, bool ipv6) {
    sock fd = bind_loopback(port, ipv6);
    if (fd == no_sock) return no_sock;
    if (::listen(as_socket(fd), 16) != 0) {
        ::closesocket(as_socket(fd));
        return no_sock;
    }
    return fd;
}

sock listen_on(const char* ipv4, int& port, int backlog) {
    if (!winsock_started()) return no_sock;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    if (InetPtonA(AF_INET, ipv4, &addr.sin_addr) != 1) return no_sock;
    SOCKET fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) return no_sock;
    int len = sizeof addr;
    auto* address = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(fd, address, len) != 0 || ::getsockname(fd, address, &len) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::closesocket(fd);
        return no_sock;
    }
    port = ntohs(addr.sin_port);
    return static_cast<sock>(fd);
}

sock reserve_refusing_port(int& port) { return bind_loopback(port, false); }

sock accept_within(sock listener, int timeout_ms) {
    if (!wait_readable(listener, timeout_ms)) return no_sock;
    SOCKET fd = ::accept(as_socket(listener), nullptr, nullptr);
    if (fd == INVALID_SOCKET) return no_sock;
    // Accepted sockets inherit the listener's mode; keep them blocking.
    u_long blocking = 0;
    ::ioctlsocket(fd, FIONBIO, &blocking);
    return static_cast<sock>(fd);
}

long receive_within(sock socket, char* buffer, std::size_t size, int timeout_ms) {
    if (!wait_readable(socket, timeout_ms)) return recv_timed_out;
    int wanted = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    int n = ::recv(as_socket(socket), buffer, wanted, 0);
    return n >= 0 ? static_cast<long>(n) : recv_failed;
}

bool send_all(sock socket, const char* data, std::size_t size) {
    while (size > 0) {
        int chunk = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
        int n = ::send(as_socket(socket), data, chunk, 0);
        if (n < 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void close_socket(sock socket) {
    if (socket == no_sock) return;
    ::closesocket(as_socket(socket));
}

void shutdown_sending(sock socket) {
    if (socket != no_sock) ::shutdown(as_socket(socket), SD_SEND);
}

namespace {
std::int64_t ticks(const FILETIME& t) {
    return (static_cast<std::int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
}  // namespace

std::int64_t process_cpu_ms() {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return (ticks(kernel) + ticks(user)) / 10000;  // 100 ns ticks
}

std::size_t open_handles() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

std::int64_t thread_cpu_ms() {
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    return (ticks(kernel) + ticks(user)) / 10000;
}

void reset_socket(sock socket) {
    if (socket == no_sock) return;
    linger l{1, 0};
    ::setsockopt(as_socket(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                 sizeof l);
    ::closesocket(as_socket(socket));
}

void* load_library(const std::string& path, std::string& error) {
    HMODULE module = ::LoadLibraryA(path.c_str());
    if (!module) error = "LoadLibrary failed with error " + std::to_string(::GetLastError());
    return reinterpret_cast<void*>(module);
}

void* find_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void unload_library(void* library) {
    if (library) ::FreeLibrary(static_cast<HMODULE>(library));
}

std::string library_file_name(const std::string& built_path) {
    std::size_t slash = built_path.find_last_of("\\/");
    return slash == std::string::npos ? built_path : built_path.substr(slash + 1);
}

std::string make_temp_dir() {
    char base[MAX_PATH + 1] = {};
    DWORD length = ::GetTempPathA(MAX_PATH, base);
    if (length == 0 || length > MAX_PATH) return {};
    static unsigned counter = 0;
    for (int tries = 0; tries < 100; ++tries) {
        std::string dir = join_path(base, "quel2cln-test-" + std::to_string(::GetCurrentProcessId()) +
                                              "-" + std::to_string(++counter));
        if (::CreateDirectoryA(dir.c_str(), nullptr)) return dir;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

void remove_tree(const std::string& dir) {
    if (dir.empty()) return;
    WIN32_FIND_DATAA entry;
    HANDLE search = ::FindFirstFileA(join_path(dir, "*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = join_path(dir, name);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                ::DeleteFileA(path.c_str());
        } while (::FindNextFileA(search, &entry));
        ::FindClose(search);
    }
    ::RemoveDirectoryA(dir.c_str());
}

bool copy_file(const std::string& from, const std::string& to) {
    return ::CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool write_file(const std::string& path, const std::string& contents) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    return std::fclose(file) == 0 && ok;
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

bool run_command(const std::string& command, std::string& output) {
    FILE* pipe = ::_popen(command.c_str(), "rb");
    if (!pipe) return false;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    return ::_pclose(pipe) == 0;
}

bool make_fifo(const std::string&) { return false; }

int open_fifo_reader(const std::string&) { return -1; }

void close_fd(int) {}

void set_environment(const char* name, const char* value) { ::SetEnvironmentVariableA(name, value); }

}  // namespace test_platform
