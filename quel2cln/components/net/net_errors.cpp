#include "components/net/net_errors.h"

namespace orbl::net {

const char* text_for(int code) noexcept {
    switch (code) {
    case socket_code::closed_by_peer: return closed_by_peer_text;
    case socket_code::access_denied: return access_denied_text;
    case socket_code::invalid_argument: return invalid_argument_text;
    case socket_code::too_many_sockets: return too_many_sockets_text;
    case socket_code::family_not_supported: return family_not_supported_text;
    case socket_code::address_in_use: return address_in_use_text;
    case socket_code::address_not_available: return address_not_available_text;
    case socket_code::net_down: return net_down_text;
    case socket_code::net_unreachable: return net_unreachable_text;
    case socket_code::net_reset: return net_reset_text;
    case socket_code::connection_aborted: return connection_aborted_text;
    case socket_code::connection_reset: return connection_reset_text;
    case socket_code::no_buffers: return no_buffers_text;
    case socket_code::not_connected: return not_connected_text;
    case socket_code::timed_out: return timed_out_text;
    case socket_code::refused: return refused_text;
    case socket_code::host_down: return host_down_text;
    case socket_code::host_unreachable: return host_unreachable_text;
    case socket_code::not_initialised: return not_initialised_text;
    case socket_code::tls_failure: return tls_failure_text;
    case socket_code::host_not_found: return host_not_found_text;
    case socket_code::try_again: return try_again_text;
    case socket_code::no_recovery: return no_recovery_text;
    case socket_code::no_data: return no_data_text;
    default: return socket_failure_text;
    }
}

}  // namespace orbl::net
