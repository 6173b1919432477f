#pragma once
// A byte stream over one connected socket: plain TCP, or TLS on top of it.
// The client socket does framing and time-outs on top of a channel. It always
// tries read() before it waits on the socket, so bytes a channel already
// holds (TLS keeps decrypted bytes the socket no longer shows) are never
// stuck behind a wait.

#include <cstddef>
#include <memory>

#include "components/net.h"

namespace orbl {

class channel {
public:
    enum class want { none, read, write };

    virtual ~channel() = default;
    // Bytes read (> 0), 0 at an orderly end of stream, -1 when the caller
    // must wait for `waiting_for()` first. Throws socket_error.
    virtual long read(char* buffer, std::size_t size) = 0;
    // Bytes written (> 0), or -1 when the caller must wait for `waiting_for()`.
    virtual long write(const char* data, std::size_t size) = 0;
    // What the last read/write that returned -1 waits for.
    virtual want waiting_for() const = 0;
    virtual net::handle handle() const = 0;
};

// Takes ownership of the connected socket (closed on failure too).
std::unique_ptr<channel> make_plain_channel(net::handle socket);

}  // namespace orbl
