// Socket calls over Windows Sockets. Winsock reports its own codes, which are
// the codes of this layer, so they pass through unchanged.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "components/net.h"
#include "components/net_errors.h"
#include "components/system_dll_win32.h"

namespace orbl::net {

namespace {

// Winsock is started on the first call that needs it rather than while the
// loader runs the library's entry point: WSAStartup may load further system
// libraries, which must not happen under the loader lock. A failed start is
// not kept: the next call tries again (early at boot the network stack may
// not be ready yet). The reference is given back by cleanup(), so that each
// load of the library leaves the process's Winsock count as it found it.
// Only the calling thread touches this: the host never calls the library
// from two threads at once, and the entry point calls cleanup() only once
// every host call has ended.
bool winsock_started = false;

int start_winsock() noexcept {
    if (winsock_started) return 0;
    WSADATA data;
    int result = WSAStartup(MAKEWORD(2, 2), &data);
    winsock_started = result == 0;
    return result;
}

void require_winsock() {
    if (start_winsock() != 0) throw make_error(wsa::not_initialised);
}

SOCKET as_socket(handle socket) {
    return static_cast<SOCKET>(socket);
}

socket_error resolve_error(int error) {
    switch (error) {
    case WSATRY_AGAIN: return make_error(wsa::try_again);
    case WSANO_RECOVERY: return make_error(wsa::no_recovery);
    case WSA_NOT_ENOUGH_MEMORY:
    case WSAENOBUFS: return make_error(wsa::no_buffers);
    case WSANOTINITIALISED: return make_error(wsa::not_initialised);
    default: return make_error(socket_code::host_not_found);
    }
}

void set_port(sockaddr_storage& address, int port) {
    u_short net_port = htons(static_cast<u_short>(port));
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = net_port;
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = net_port;
}

int length_of(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// select() time-out for `timeout_ms`; null (no limit) when negative.
timeval* to_timeval(int timeout_ms, timeval& storage) {
    if (timeout_ms < 0) return nullptr;
    storage.tv_sec = timeout_ms / 1000;
    storage.tv_usec = (timeout_ms % 1000) * 1000;
    return &storage;
}

// Waits for one socket. A failed non-blocking connect shows up only in the
// exception set, so that set is watched while connecting: the next call
// then reports the failure itself. A connected socket is never listed in
// two sets of one select(): Wine 8's server can then lose track of a reset
// that arrives while the wait is set up, and it aborts, leaving the host
// waiting for ever.
bool select_one(SOCKET socket, bool for_write, int timeout_ms, bool connecting = false) {
    std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        int left = -1;
        if (deadline >= 0) {
            std::int64_t remaining = deadline - now_ms();
            left = remaining > 0 ? static_cast<int>(remaining) : 0;
        }
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval limit;
        int count = ::select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr,
                             connecting ? &failed : nullptr,
                             to_timeval(left, limit));
        if (count > 0) return true;
        if (count == SOCKET_ERROR) throw error_from_system(WSAGetLastError());
        // select() may come back a little early on a coarse timer.
        if (deadline < 0 || now_ms() >= deadline) return false;
    }
}

// The probe count option of Windows 10 1703 and later (TCP_KEEPCNT, missing
// from older headers); older systems refuse it and probe 10 times.
constexpr int tcp_keepcnt_option = 16;

// A server that vanished without closing would otherwise leave the wait for
// its answer without end: keep-alive probes end it with an error, while a
// live server that is merely slow is still waited for. Failures are
// ignored: the connection works without probes.
void enable_keepalive(SOCKET socket) {
    tcp_keepalive values{1, keepalive_idle_s * 1000UL, keepalive_interval_s * 1000UL};
    DWORD returned = 0;
    ::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
               nullptr, nullptr);
    DWORD count = keepalive_count;
    ::setsockopt(socket, IPPROTO_TCP, tcp_keepcnt_option, reinterpret_cast<const char*>(&count),
                 sizeof count);
}

// The host's child processes must not keep the connection open, so the
// socket is never inheritable, not even for an instant in which another
// host thread could start a process. Windows 7 without its update for the
// flag refuses it; there the flag is cleared right after creation instead.
SOCKET new_socket(int family) {
    constexpr DWORD flags = WSA_FLAG_OVERLAPPED;  // what socket() gives
    SOCKET socket = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                 flags | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        socket = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, flags);
        if (socket != INVALID_SOCKET)
            ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
    if (socket == INVALID_SOCKET) throw error_from_system(WSAGetLastError());
    return socket;
}

struct socket_guard {
    SOCKET socket;
    ~socket_guard() {
        if (socket != INVALID_SOCKET) ::closesocket(socket);
    }
    SOCKET release() {
        SOCKET kept = socket;
        socket = INVALID_SOCKET;
        return kept;
    }
};

// Send and receive take int sizes.
int clamp_size(std::size_t size) {
    return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

socket_error error_from_system(int system_code) {
    switch (system_code) {
    case WSA_NOT_ENOUGH_MEMORY: return make_error(wsa::no_buffers);
    // Any other code is already a Windows Sockets code; one without a text
    // of its own keeps its number with the generic text.
    default: return make_error(system_code);
    }
}

handle connect_to(const std::vector<unsigned char>& raw, int port, int timeout_ms) {
    require_winsock();
    sockaddr_storage address{};
    if (raw.size() > sizeof address || raw.size() < sizeof address.ss_family)
        throw make_error(socket_code::invalid_argument);
    std::memcpy(&address, raw.data(), raw.size());
    set_port(address, port);

    socket_guard guard{new_socket(address.ss_family)};
    u_long non_blocking = 1;
    if (::ioctlsocket(guard.socket, FIONBIO, &non_blocking) != 0)
        throw error_from_system(WSAGetLastError());
    BOOL one = TRUE;
    ::setsockopt(guard.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
    enable_keepalive(guard.socket);

    if (::connect(guard.socket, reinterpret_cast<sockaddr*>(&address), length_of(address)) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) throw error_from_system(error);
        if (!select_one(guard.socket, true, timeout_ms, true))
            throw make_error(socket_code::timed_out);
        int status = 0;
        int length = sizeof status;
        if (::getsockopt(guard.socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status),
                         &length) != 0)
            status = WSAGetLastError();
        if (status != 0) throw error_from_system(status);
    }
    return static_cast<handle>(guard.release());
}

void close(handle socket) noexcept {
    if (socket != invalid_handle) ::closesocket(as_socket(socket));
}

bool wait(handle socket, bool for_write, int timeout_ms) {
    return select_one(as_socket(socket), for_write, timeout_ms);
}

long receive_some(handle socket, char* buffer, std::size_t size) {
    int received = ::recv(as_socket(socket), buffer, clamp_size(size), 0);
    if (received >= 0) return received;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -1;
    throw error_from_system(error);
}

long receive_within(handle socket, char* buffer, std::size_t size, int timeout_ms, int&) {
    return wait(socket, false, timeout_ms) ? receive_some(socket, buffer, size) : -1;
}

long send_some(handle socket, const char* data, std::size_t size) {
    int sent = ::send(as_socket(socket), data, clamp_size(size), 0);
    if (sent >= 0) return sent;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -1;
    throw error_from_system(error);
}

bool is_numeric_address(const std::wstring& host) {
    if (host.find(L'\0') != std::wstring::npos) return false;
    unsigned char buffer[sizeof(in6_addr)];
    return InetPtonW(AF_INET, host.c_str(), buffer) == 1 ||
           InetPtonW(AF_INET6, host.c_str(), buffer) == 1;
}

inet_address resolve(const std::wstring& host, bool numeric_only) {
    // An empty name would resolve to this machine's own addresses.
    if (host.empty() || host.find(L'\0') != std::wstring::npos)
        throw make_error(socket_code::host_not_found);
    require_winsock();
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
    ADDRINFOW* found = nullptr;
    int error = ::GetAddrInfoW(host.c_str(), nullptr, &hints, &found);
    if (error != 0) throw resolve_error(error);

    inet_address result;
    result.host = host;
    for (ADDRINFOW* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        auto bytes = reinterpret_cast<const unsigned char*>(entry->ai_addr);
        result.addresses.emplace_back(bytes, bytes + entry->ai_addrlen);
    }
    ::FreeAddrInfoW(found);
    if (result.addresses.empty()) throw make_error(wsa::no_data);
    return result;
}

int startup_error() noexcept {
    return start_winsock();
}

void cleanup() noexcept {
    // The TLS layer's system DLLs (CRYPT32) go back with the sockets.
    win32::release_system_modules();
    if (!winsock_started) return;
    winsock_started = false;
    WSACleanup();
}

void sleep(int milliseconds) noexcept {
    // Not alertable: queued asynchronous calls do not cut the wait short.
    ::SleepEx(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0, FALSE);
}

std::int64_t now_ms() noexcept {
    return static_cast<std::int64_t>(::GetTickCount64());
}

}  // namespace orbl::net
