#pragma once
// The parameters of the Windows chain engine's check of a server's chain.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS  // dwUrlRetrievalTimeout
#include <windows.h>
#include <wincrypt.h>

namespace orbl::net {

// What the chain engine may spend on each URL it fetches (a missing
// intermediate named by the certificate, a root it does not hold yet).
// Windows' own default is 15 s per URL, far past the handshake limit; a
// firewalled machine would stall that long on every connection.
constexpr DWORD chain_url_timeout_ms = 1500;

// A server authentication chain (`usages` holds the one usage identifier),
// each URL retrieval bounded by chain_url_timeout_ms.
void set_chain_parameters(CERT_CHAIN_PARA& para, LPSTR* usages);

}  // namespace orbl::net
