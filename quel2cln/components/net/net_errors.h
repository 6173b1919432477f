#pragma once
// The fixed texts of the socket codes (socket.h), shared by every platform.

#include "components/net/socket.h"

namespace orbl::net {

// The texts of the socket and TLS layers, in the order of the README's table
// "Errors a host can see" (a test holds them against it).
inline constexpr char closed_by_peer_text[] = "connection closed by peer";
inline constexpr char connection_reset_text[] = "connection reset by peer";
inline constexpr char connection_aborted_text[] = "connection aborted";
inline constexpr char host_not_found_text[] = "host not found";
inline constexpr char try_again_text[] = "temporary failure in name resolution";
inline constexpr char no_recovery_text[] = "name resolution failed";
inline constexpr char no_data_text[] = "no address for host name";
inline constexpr char refused_text[] = "connection refused";
inline constexpr char timed_out_text[] = "connection timed out";
inline constexpr char call_timeout_text[] = "call timed out";
inline constexpr char invalid_port_text[] = "invalid port";
inline constexpr char unsupported_level_text[] = "unsupported security level";
inline constexpr char not_initialised_text[] = "sockets not initialized";
inline constexpr char access_denied_text[] = "permission denied";
inline constexpr char invalid_argument_text[] = "invalid argument";
inline constexpr char too_many_sockets_text[] = "too many open sockets";
inline constexpr char family_not_supported_text[] = "address family not supported";
inline constexpr char address_in_use_text[] = "address already in use";
inline constexpr char address_not_available_text[] = "address not available";
inline constexpr char net_down_text[] = "network is down";
inline constexpr char net_unreachable_text[] = "network unreachable";
inline constexpr char net_reset_text[] = "network dropped connection on reset";
inline constexpr char no_buffers_text[] = "no buffer space available";
inline constexpr char not_connected_text[] = "socket not connected";
inline constexpr char host_down_text[] = "host is down";
inline constexpr char host_unreachable_text[] = "host unreachable";
inline constexpr char socket_failure_text[] = "socket failure";
// TLS failures; the TLS library's reason may follow after ": ".
inline constexpr char tls_ca_file_text[] = "cannot read CA file";
inline constexpr char tls_trust_store_text[] = "cannot read system trust store";
inline constexpr char tls_cert_file_text[] = "cannot read certificate file";
inline constexpr char tls_key_file_text[] = "cannot read key file or wrong key password";
inline constexpr char tls_key_mismatch_text[] = "key does not match certificate";
inline constexpr char tls_verify_failed_text[] = "certificate verify failed";
inline constexpr char tls_host_mismatch_text[] = "certificate does not match host name";
inline constexpr char tls_handshake_text[] = "tls handshake failed";
inline constexpr char tls_setup_text[] = "tls setup failed";
inline constexpr char tls_failure_text[] = "tls failure";

// The fixed text of a code ("connection reset by peer", ...).
const char* text_for(int code) noexcept;
inline socket_error make_error(int code) { return socket_error(code, text_for(code)); }

}  // namespace orbl::net
