#pragma once
// Room connect/: making a client socket, above net/ and tls/ (neither
// includes anything of it).
//   connect.h, connect.cpp  the staggered connect over every address of a
//                    name, and IClientSocket::factory (socket.h), which
//                    puts a plain or TLS channel on the connection it won
//
// Connects to the addresses of one name as RFC 8305 does: the next address
// is tried when the attempts so far have not connected within a short
// stagger, or at once when one fails. The first connection wins and the
// other attempts are closed. Each attempt is bounded by connect_timeout_ms
// and every wait by the call's deadline; when all fail, the failure that
// came last is thrown.

#include "components/net/net.h"
#include "components/net/socket.h"

namespace orbl {

// The connected socket (as connect_finish leaves it, owned by the caller) of
// the attempt that won. Throws socket_error; an empty address list is the
// caller's to refuse.
net::handle connect_any(const inet_address& address, int port);

}  // namespace orbl
