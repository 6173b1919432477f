#pragma once
// Windows Sockets codes and their fixed texts, shared by every platform.

#include "components/socket.h"

namespace orbl::net {

namespace wsa {
constexpr int access_denied = 10013;
constexpr int too_many_sockets = 10024;
constexpr int family_not_supported = 10047;
constexpr int address_in_use = 10048;
constexpr int address_not_available = 10049;
constexpr int net_down = 10050;
constexpr int net_unreachable = 10051;
constexpr int net_reset = 10052;
constexpr int no_buffers = 10055;
constexpr int not_connected = 10057;
constexpr int host_down = 10064;
constexpr int host_unreachable = 10065;
constexpr int not_initialised = 10093;
constexpr int try_again = 11002;
constexpr int no_recovery = 11003;
constexpr int no_data = 11004;
// No counterpart: a failure the platform reported that has no Windows
// Sockets code of its own.
constexpr int unknown = -1;
}  // namespace wsa

// Every TLS failure other than an orderly close (0) or a broken connection
// (10053, 10054) carries this one code, so the call frame never retries it.
// Winsock defines 10071 (WSAEREMOTE) but no socket call returns it.
constexpr int tls_failure = 10071;

// Texts for the socket layer's own failures (code invalid_argument).
extern const char* const invalid_port_text;         // "invalid port"
extern const char* const unsupported_level_text;    // "unsupported security level"

// The fixed text of a code ("connection reset by peer", ...).
const char* text_for(int code) noexcept;
inline socket_error make_error(int code) { return socket_error(code, text_for(code)); }

}  // namespace orbl::net
