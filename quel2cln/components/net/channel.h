#pragma once
// A byte stream over one connected socket: plain TCP, or TLS on top of it.
// The client socket does framing and time-outs on top of a channel and never
// sees the socket itself. Each call waits inside, in the way that suits the
// transport, so a fake channel can drive the client socket in memory.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "components/net/net.h"

namespace orbl {

class channel {
public:
    virtual ~channel() = default;
    // Reads up to `size` bytes, waiting at most `wait_ms` milliseconds for
    // the first of them (0: only what is at hand; negative: no limit).
    // Bytes read (> 0), 0 at an orderly end of stream, -1 when nothing came
    // within the wait or the wait was cut short; the caller then checks its
    // own deadline. Throws socket_error.
    virtual long read(char* buffer, std::size_t size, int wait_ms) = 0;
    // Writes up to `size` bytes, waiting at most `wait_ms` milliseconds for
    // room (as read). Bytes written (> 0), or -1 when no room came within
    // the wait. Throws socket_error.
    virtual long write(const char* data, std::size_t size, int wait_ms) = 0;
};

// Takes ownership of the connected socket (closed on failure too).
std::unique_ptr<channel> make_plain_channel(net::handle socket);

// The client socket over `stream`. `clock` gives monotonic milliseconds for
// the time-outs (the platform's clock unless a test supplies its own).
std::unique_ptr<IClientSocket> make_client_socket(std::unique_ptr<channel> stream,
                                                  std::int64_t (*clock)() noexcept = net::now_ms);

}  // namespace orbl
