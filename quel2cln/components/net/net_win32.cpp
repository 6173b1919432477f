// Socket calls over Windows Sockets. Winsock reports its own codes, which are
// the codes of this layer, so they pass through unchanged.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

#include "components/net/net.h"
#include "components/net/net_errors.h"

namespace orbl::net {

namespace {

// Winsock is started on the first call that needs it rather than while the
// loader runs the library's entry point: WSAStartup may load further system
// libraries, which must not happen under the loader lock. A failed start is
// not kept: the next call tries again (early at boot the network stack may
// not be ready yet). The reference is given back by cleanup(), which only
// qm2_Done calls: WSACleanup must not run under the loader lock, so a host
// that unloads the library without qm2_Done leaves this one reference
// behind. Only the calling thread touches this: the host never calls the
// library from two threads at once.
bool winsock_started = false;

int start_winsock() noexcept {
    if (winsock_started) return 0;
    WSADATA data;
    int result = WSAStartup(MAKEWORD(2, 2), &data);
    winsock_started = result == 0;
    // WS2_32 stays in the process for its lifetime. Unloading it with the
    // library gains nothing (the reference left behind above would hold it
    // anyway), and some systems (Wine) cannot load it a second time into
    // the same process, which would leave a host that does not use Winsock
    // itself without sockets after its first unload of the library.
    HMODULE pinned;
    if (winsock_started)
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"ws2_32.dll", &pinned);
    return result;
}

// The event of the receive under way (one at a time, as above), made on
// first use and closed when the library is unloaded.
struct event_holder {
    WSAEVENT event = nullptr;
    ~event_holder() {
        if (event) ::WSACloseEvent(event);
    }
} receive_event;

void require_winsock() {
    if (start_winsock() != 0) throw make_error(socket_code::not_initialised);
}

SOCKET as_socket(handle socket) {
    return static_cast<SOCKET>(socket);
}

socket_error resolve_error(int error) {
    switch (error) {
    case WSATRY_AGAIN: return make_error(socket_code::try_again);
    case WSANO_RECOVERY: return make_error(socket_code::no_recovery);
    case WSA_NOT_ENOUGH_MEMORY:
    case WSAENOBUFS: return make_error(socket_code::no_buffers);
    case WSANOTINITIALISED: return make_error(socket_code::not_initialised);
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

// Milliseconds left until `deadline` (-1: none), for select().
int left_until(std::int64_t deadline) {
    if (deadline < 0) return -1;
    std::int64_t remaining = deadline - now_ms();
    return remaining > 0 ? static_cast<int>(remaining) : 0;
}

// What a peek at a socket that the read set reported finds. A peek that
// succeeds is read for its count alone: the last-error value is defined
// only after a failure.
enum class peeked { data, end_of_stream, failed, nothing };

peeked peek(SOCKET socket) {
    char byte;
    int count = ::recv(socket, &byte, 1, MSG_PEEK);
    if (count > 0) return peeked::data;
    if (count == 0) return peeked::end_of_stream;
    return WSAGetLastError() == WSAEWOULDBLOCK ? peeked::nothing : peeked::failed;
}

// Waits for one connected socket to become readable (or writable). The
// exception set is not watched: out-of-band data stays in it for as long
// as it is unread, and watching it would report the socket ready again and
// again while recv has nothing to give. A write wait also watches the read
// set, where Windows reports a reset connection, so that the send that
// follows fails at once with the reset. Anything else found there ends the
// watching of the read set, and the rest of the wait is for room to send
// alone, so that nothing found there keeps the wait spinning: early reply
// data, or the peer's orderly close of its sending side (a peer that has
// closed its side may still read). After such a close a reset may still
// come, which Windows may report in the read set only, so the wait looks
// again with a peek every recheck_ms. (Listing a connected socket in the
// exception set as well has a second cost: Wine 8's server can lose track
// of a reset that arrives while such a wait is set up, and abort, leaving
// the host waiting for ever.)
constexpr int recheck_ms = 250;

bool select_one(SOCKET socket, bool for_write, int timeout_ms) {
    std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    bool watch_read = true;
    bool peer_closed = false;
    for (bool first = true;; first = false) {
        // The deadline is checked on every pass, not only after a quiet
        // select(): a time-out of 0 still polls once.
        if (!first && deadline >= 0 && now_ms() >= deadline) return false;
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        if (watch_read) FD_SET(socket, &readable);
        if (for_write) FD_SET(socket, &writable);
        int wait_ms = left_until(deadline);
        if (peer_closed && (wait_ms < 0 || wait_ms > recheck_ms)) wait_ms = recheck_ms;
        timeval limit;
        int count = ::select(0, watch_read ? &readable : nullptr, for_write ? &writable : nullptr,
                             nullptr, to_timeval(wait_ms, limit));
        if (count == SOCKET_ERROR) throw error_from_system(WSAGetLastError());
        if (count == 0) {
            if (peer_closed && peek(socket) == peeked::failed) return true;
            continue;
        }
        if (!for_write || FD_ISSET(socket, &writable)) return true;
        peeked found = peek(socket);
        if (found == peeked::failed) return true;
        watch_read = false;
        peer_closed = found == peeked::end_of_stream;
    }
}

// The probe count option of Windows 10 1703 and later (TCP_KEEPCNT, missing
// from older headers). Older systems refuse it and send their fixed 10
// probes, so a vanished server is noticed after about 30 + 10 * 10 = 130 s
// there instead of 60 s (documented in docs/windows.md).
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
    case WSA_NOT_ENOUGH_MEMORY: return make_error(socket_code::no_buffers);
    // Any other code is already a Windows Sockets code; one without a text
    // of its own keeps its number with the generic text.
    default: return make_error(system_code);
    }
}

handle connect_start(const std::vector<unsigned char>& raw, int port) {
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
    }
    return static_cast<handle>(guard.release());
}

// A connect that completes makes its socket writable; one that fails shows
// up only in the exception set, which is watched here and nowhere else.
int wait_connected(const std::vector<handle>& sockets, int timeout_ms) {
    if (sockets.empty() || sockets.size() > FD_SETSIZE) throw make_error(socket_code::invalid_argument);
    std::int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (bool first = true;; first = false) {
        if (!first && deadline >= 0 && now_ms() >= deadline) return -1;
        fd_set done;
        fd_set failed;
        FD_ZERO(&done);
        FD_ZERO(&failed);
        for (handle socket : sockets) {
            FD_SET(as_socket(socket), &done);
            FD_SET(as_socket(socket), &failed);
        }
        timeval limit;
        int count = ::select(0, nullptr, &done, &failed, to_timeval(left_until(deadline), limit));
        if (count == SOCKET_ERROR) throw error_from_system(WSAGetLastError());
        for (std::size_t i = 0; count > 0 && i < sockets.size(); ++i) {
            if (FD_ISSET(as_socket(sockets[i]), &done) || FD_ISSET(as_socket(sockets[i]), &failed))
                return static_cast<int>(i);
        }
    }
}

void connect_finish(handle socket) {
    int status = 0;
    int length = sizeof status;
    if (::getsockopt(as_socket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status),
                     &length) != 0)
        status = WSAGetLastError();
    if (status != 0) throw error_from_system(status);
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

// A receive that may wait is one overlapped WSARecv (overlapped calls wait
// whatever the socket's non-blocking mode), and a wait on its event for the
// time allowed: no select() before it, which costs a call of its own (under
// Wine a round trip to its server each time). A blocking recv bounded by
// SO_RCVTIMEO would cost the same, but Winsock leaves a socket whose
// blocking receive timed out in an undefined state (bytes may have been
// taken and lost), and the wait for the first byte of an answer times out
// again and again on a connection that stays in use. A receive that is
// cancelled here instead tells exactly what it took: the bytes that came
// just as the time ran out are handed out, never lost. The limit is the
// event wait's own, so there is nothing on the socket to keep in step.
long receive_within(handle socket, char* buffer, std::size_t size, int timeout_ms, int&) {
    if (timeout_ms == 0) return receive_some(socket, buffer, size);
    if (!receive_event.event) {
        WSAEVENT made = ::WSACreateEvent();
        if (made == WSA_INVALID_EVENT) throw error_from_system(WSAGetLastError());
        receive_event.event = made;
    }
    WSABUF chunk{static_cast<ULONG>(clamp_size(size)), buffer};
    WSAOVERLAPPED pending{};
    pending.hEvent = receive_event.event;
    SOCKET s = as_socket(socket);
    DWORD flags = 0;
    DWORD waited = WAIT_OBJECT_0;
    int wait_error = 0;
    if (::WSARecv(s, &chunk, 1, nullptr, &flags, &pending, nullptr) != 0) {
        int error = WSAGetLastError();
        // A provider that will not queue the receive on a non-blocking
        // socket gets the wait of the other calls instead.
        if (error == WSAEWOULDBLOCK)
            return wait(socket, false, timeout_ms) ? receive_some(socket, buffer, size) : -1;
        if (error != WSA_IO_PENDING) throw error_from_system(error);
        DWORD limit = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
        // Time is up (or the wait failed): cancel, then wait for the
        // receive to end either way, since it writes into `buffer`.
        waited = ::WaitForSingleObject(receive_event.event, limit);
        if (waited != WAIT_OBJECT_0) {
            wait_error = static_cast<int>(::GetLastError());
            ::CancelIoEx(reinterpret_cast<HANDLE>(s), &pending);
        }
    }
    DWORD count = 0;
    if (::WSAGetOverlappedResult(s, &pending, &count, TRUE, &flags)) return static_cast<long>(count);
    int error = WSAGetLastError();
    if (error == WSA_OPERATION_ABORTED && waited == WAIT_TIMEOUT) return -1;
    throw error_from_system(waited == WAIT_FAILED ? wait_error : error);
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
    if (result.addresses.empty()) throw make_error(socket_code::no_data);
    return result;
}

int startup_error() noexcept {
    return start_winsock();
}

void cleanup() noexcept {
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
