#pragma once
// Room net/: the client socket and what it stands on. The factory that
// connects one is above this room and tls/ (components/connect/).
//   socket.h         this interface: IClientSocket, socket_packet, the
//                    socket codes, security parameters, the call deadline
//   channel.h        one timed read and one timed write over a connection
//   client_socket.cpp  framing and time-outs over a channel (plain or TLS)
//   socket.cpp       socket.h's calls that go straight to the platform's,
//                    and net.h's send_within, the same everywhere
//   call_deadline.cpp  the deadline of the whole call under way
//   net.h, net_posix.cpp, net_win32.cpp  the platform's sockets and waits
//   net_errors.h, net_errors.cpp  the fixed texts of the socket codes
//   security.cpp     the process-wide security parameters
//
// Client sockets: name resolution, connected sockets with time-outs, and the
// process-wide security parameters. Errors use the Windows Sockets numbering
// on every platform (0 closed by peer, 10053 aborted, 10054 reset, ...), so
// the retry rule above this layer works the same everywhere.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/text/secret.h"

namespace orbl {

class socket_error : public std::runtime_error {
public:
    socket_error(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Socket error codes (Windows Sockets numbering), the one table of them;
// their fixed texts are in net_errors.h.
namespace socket_code {
constexpr int closed_by_peer = 0;
constexpr int access_denied = 10013;
constexpr int invalid_argument = 10022;
constexpr int too_many_sockets = 10024;
constexpr int family_not_supported = 10047;
constexpr int address_in_use = 10048;
constexpr int address_not_available = 10049;
constexpr int net_down = 10050;
constexpr int net_unreachable = 10051;
constexpr int net_reset = 10052;
constexpr int connection_aborted = 10053;
constexpr int connection_reset = 10054;
constexpr int no_buffers = 10055;
constexpr int not_connected = 10057;
constexpr int timed_out = 10060;
constexpr int refused = 10061;
constexpr int host_down = 10064;
constexpr int host_unreachable = 10065;
// Every TLS failure other than an orderly close (0) or a broken connection
// (10053, 10054) carries this one code, so the call frame never retries it.
// Winsock defines 10071 (WSAEREMOTE) but no socket call returns it.
constexpr int tls_failure = 10071;
constexpr int not_initialised = 10093;
constexpr int host_not_found = 11001;
constexpr int try_again = 11002;
constexpr int no_recovery = 11003;
constexpr int no_data = 11004;
// No counterpart: a failure the platform reported that has no Windows
// Sockets code of its own.
constexpr int unknown = -1;
}  // namespace socket_code

// 0 when the socket layer started, the system error code otherwise.
int socket_initialize_error_sys_code();
// Gives back what the socket layer took from the system when it started;
// the next socket call starts it again. Call only with no socket open.
void socket_finalize() noexcept;

struct socket_security_param {
    std::wstring cert_file;
    std::wstring key_file;
    std::wstring ca_file;
    secret_wstring key_password;
};

// Process-wide; applies to sockets made afterwards. Keeps its own copy.
void set_socket_security_params(const socket_security_param& param);
// The copy kept by set_socket_security_params.
socket_security_param get_socket_security_params();
// Counts the calls of set_socket_security_params: what was built from the
// parameters stays valid while this number stays the same.
std::uint64_t socket_security_params_load();
// Counts the calls of set_socket_security_params that changed a file name
// or the password: a connection made before such a change was made with
// other parameters.
std::uint64_t socket_security_params_changes();

// A bound on the whole of one call of the library: every wait of the socket
// layer (connecting, sending, receiving, the pause between tries) ends by
// then. While it is set, a wait that reaches it throws call_timeout.
class call_timeout : public std::runtime_error {
public:
    call_timeout();
};
// Sets the deadline `milliseconds` from now; 0 or below: no deadline.
void set_call_deadline(int milliseconds) noexcept;
void clear_call_deadline() noexcept;
// `wait_ms` (negative: no limit) cut to what is left until the deadline;
// throws call_timeout when the deadline has passed.
int call_bounded_wait(int wait_ms);
// Throws call_timeout when the deadline has passed.
void check_call_deadline();

// Every address a host resolved to, in the order to try them, and the host
// text it was resolved from. Each address is a platform socket address
// stored as raw bytes, so nothing above this layer depends on its layout.
struct inet_address {
    std::wstring host;
    std::vector<std::vector<unsigned char>> addresses;
};

// True when `host` is a numeric IPv4 or IPv6 address.
bool is_valid_addr(const std::wstring& host);
// Resolve a numeric address / a host name. Failure throws socket_error
// (11001 "host not found", ...).
inet_address get_host_by_addr(const std::wstring& host);
inet_address get_host_by_name(const std::wstring& host);

// One growable byte buffer that message code reads and appends to directly.
// Every message starts with a header of this many bytes (its layout is the
// frame's business: protocol/message.h).
constexpr std::size_t packet_header_size = 32;

class socket_packet {
public:
    std::vector<char>& modify_data() { return data_; }
    const std::vector<char>& get_data() const { return data_; }
    std::size_t size() const { return data_.size(); }

private:
    std::vector<char> data_;
};

// Each connect to one address is bounded by this many milliseconds.
constexpr int connect_timeout_ms = 5000;

// Time-out kinds for set_timeout, in milliseconds; 0 or below: no limit.
namespace timeout_kind {
constexpr int receive = 0;  // wait for the next message (receive_packet)
constexpr int tail = 1;     // the rest of a message (receive_tail)
constexpr int send = 2;     // sending a whole packet (send_packet)
}  // namespace timeout_kind

class IClientSocket {
public:
    virtual ~IClientSocket() = default;

    virtual bool set_timeout(int kind, const int* value) = 0;
    // Appends exactly `count` further bytes, or returns false when the tail
    // time-out ran out.
    virtual bool receive_tail(socket_packet& packet, std::size_t count) = 0;
    // Waits up to the receive time-out for the next message and appends its
    // whole 32-byte header, then as much of the payload the header announces
    // as has already arrived, and nothing of a following message (fewer
    // bytes only when the header stopped coming). False: nothing arrived in
    // time.
    virtual bool receive_packet(socket_packet& packet) = 0;
    // Sends the whole packet; false when the send time-out ran out.
    virtual bool send_packet(const socket_packet& packet) = 0;

    // A socket connected to the first address that accepts, trying them in
    // order (components/connect/). Failure throws socket_error.
    static std::unique_ptr<IClientSocket> factory(const inet_address& address, int port,
                                                  int security_level);
    // Throws the socket_error factory would throw for a port or security
    // level it never accepts.
    static void check_arguments(int port, int security_level);
};

// Plain wait, not cut short by signals or queued calls.
void sleep_ms(int milliseconds);

}  // namespace orbl
