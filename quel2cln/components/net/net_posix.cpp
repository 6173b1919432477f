// Socket calls on POSIX. System errors are reported with their Windows
// Sockets counterparts so that every platform shows the same codes.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "components/net/net.h"
#include "components/net/net_errors.h"
#include "components/text/text.h"

namespace orbl::net {

namespace {

int code_for_errno(int error) {
    switch (error) {
    case ECONNRESET: return socket_code::connection_reset;
    case ECONNABORTED:
    case EPIPE: return socket_code::connection_aborted;
    case ECONNREFUSED: return socket_code::refused;
    case ETIMEDOUT: return socket_code::timed_out;
    case ENETUNREACH: return socket_code::net_unreachable;
    case EHOSTUNREACH: return socket_code::host_unreachable;
    case ENETDOWN: return socket_code::net_down;
    case ENETRESET: return socket_code::net_reset;
    case EHOSTDOWN: return socket_code::host_down;
    case EADDRNOTAVAIL: return socket_code::address_not_available;
    case EADDRINUSE: return socket_code::address_in_use;
    case EAFNOSUPPORT: return socket_code::family_not_supported;
    case ENOBUFS:
    case ENOMEM: return socket_code::no_buffers;
    case EMFILE:
    case ENFILE: return socket_code::too_many_sockets;
    case EACCES:
    case EPERM: return socket_code::access_denied;
    case ENOTCONN: return socket_code::not_connected;
    case EINVAL: return socket_code::invalid_argument;
    default: return socket_code::unknown;
    }
}

socket_error resolve_error(int gai_error) {
    switch (gai_error) {
    case EAI_AGAIN: return make_error(socket_code::try_again);
    case EAI_FAIL: return make_error(socket_code::no_recovery);
    case EAI_MEMORY: return make_error(socket_code::no_buffers);
    case EAI_SYSTEM: return error_from_system(errno);
    default: return make_error(socket_code::host_not_found);
    }
}

void set_port(sockaddr_storage& address, int port) {
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(static_cast<std::uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(static_cast<std::uint16_t>(port));
}

socklen_t length_of(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A server that vanished without closing (power loss, a cable pulled) would
// otherwise leave the wait for its answer without end: keep-alive probes
// turn it into a "connection timed out" after about keepalive_idle_s +
// keepalive_count * keepalive_interval_s seconds, while a live server that
// is merely slow is still waited for.
void enable_keepalive(int fd) {
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#ifdef TCP_KEEPIDLE
    int idle = keepalive_idle_s, interval = keepalive_interval_s, count = keepalive_count;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int kept = fd;
        fd = -1;
        return kept;
    }
};

// poll() until an entry is ready (true) or `timeout_ms` has passed (false;
// negative: no limit), going on after a signal with the time that is left.
bool poll_within(pollfd* entries, std::size_t count, int timeout_ms) {
    std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        int left = -1;
        if (deadline >= 0) {
            std::int64_t remaining = deadline - now_ms();
            left = remaining > 0 ? static_cast<int>(remaining) : 0;
        }
        int ready = ::poll(entries, static_cast<nfds_t>(count), left);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) throw error_from_system(errno);
    }
}

}  // namespace

socket_error error_from_system(int system_code) {
    return make_error(code_for_errno(system_code));
}

handle connect_start(const std::vector<unsigned char>& raw, int port) {
    sockaddr_storage address{};
    if (raw.size() > sizeof address || raw.size() < sizeof(sa_family_t))
        throw make_error(socket_code::invalid_argument);
    std::memcpy(&address, raw.data(), raw.size());
    set_port(address, port);

    fd_guard socket_fd{::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (socket_fd.fd < 0) throw error_from_system(errno);
    int one = 1;
    ::setsockopt(socket_fd.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    enable_keepalive(socket_fd.fd);

    int result;
    do {
        result = ::connect(socket_fd.fd, reinterpret_cast<sockaddr*>(&address), length_of(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno != EINPROGRESS) throw error_from_system(errno);
    return socket_fd.release();
}

int wait_connected(const std::vector<handle>& sockets, int timeout_ms) {
    std::vector<pollfd> entries;
    for (handle socket : sockets) entries.push_back({static_cast<int>(socket), POLLOUT, 0});
    if (!poll_within(entries.data(), entries.size(), timeout_ms)) return -1;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].revents != 0) return static_cast<int>(i);
    return -1;
}

void connect_finish(handle socket) {
    int fd = static_cast<int>(socket);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) throw error_from_system(error);
    // Connected: from here every call says itself whether it may block.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw error_from_system(errno);
}

void close(handle socket) noexcept {
    if (socket != invalid_handle) ::close(static_cast<int>(socket));
}

bool wait(handle socket, bool for_write, int timeout_ms) {
    pollfd entry{static_cast<int>(socket), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    return poll_within(&entry, 1, timeout_ms);  // errors and hang-ups show up in the next call
}

long receive_some(handle socket, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t received = ::recv(static_cast<int>(socket), buffer, size, MSG_DONTWAIT);
        if (received >= 0) return static_cast<long>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        if (errno != EINTR) throw error_from_system(errno);
    }
}

// The socket blocks (see connect_finish), so a receive can wait by itself,
// bounded by SO_RCVTIMEO: one system call where a wait and a read would
// take two.
long receive_within(handle socket, char* buffer, std::size_t size, int timeout_ms, int& kept_ms) {
    if (timeout_ms == 0) return receive_some(socket, buffer, size);
    if (timeout_ms != kept_ms) {
        timeval limit{};  // zero: no limit
        if (timeout_ms > 0) {
            limit.tv_sec = timeout_ms / 1000;
            limit.tv_usec = (timeout_ms % 1000) * 1000;
        }
        if (::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
            throw error_from_system(errno);
        kept_ms = timeout_ms;
    }
    ssize_t received = ::recv(static_cast<int>(socket), buffer, size, 0);
    if (received >= 0) return static_cast<long>(received);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
    throw error_from_system(errno);
}

long send_some(handle socket, const char* data, std::size_t size) {
    for (;;) {
        ssize_t sent = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return static_cast<long>(sent);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        if (errno != EINTR) throw error_from_system(errno);
    }
}

bool is_numeric_address(const std::wstring& host) {
    std::string text = wide_to_utf8(host);
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

inet_address resolve(const std::wstring& host, bool numeric_only) {
    std::string name = wide_to_utf8(host);
    if (name.empty() || name.find('\0') != std::string::npos)
        throw make_error(socket_code::host_not_found);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
    addrinfo* found = nullptr;
    int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0) throw resolve_error(error);

    inet_address result;
    result.host = host;
    for (addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        auto bytes = reinterpret_cast<const unsigned char*>(entry->ai_addr);
        result.addresses.emplace_back(bytes, bytes + entry->ai_addrlen);
    }
    ::freeaddrinfo(found);
    if (result.addresses.empty()) throw make_error(socket_code::no_data);
    return result;
}

void cleanup() noexcept {}

int startup_error() noexcept {
    return 0;
}

void sleep(int milliseconds) noexcept {
    if (milliseconds <= 0) return;
    timespec left{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::int64_t now_ms() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace orbl::net
