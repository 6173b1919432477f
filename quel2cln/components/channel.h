#pragma once
// A byte stream over one connected socket: plain TCP, or TLS on top of it.
// The client socket does framing and time-outs on top of a channel and never
// sees the socket itself: the channel waits for its own readiness, so a fake
// channel can drive the client socket in memory.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "components/net.h"

namespace orbl {

class channel {
public:
    virtual ~channel() = default;
    // Bytes read (> 0), 0 at an orderly end of stream, -1 when the caller
    // must wait(false, ...) first. Throws socket_error.
    virtual long read(char* buffer, std::size_t size) = 0;
    // Bytes written (> 0), or -1 when the caller must wait(true, ...) first.
    virtual long write(const char* data, std::size_t size) = 0;
    // Waits until the next read (or, with `for_write`, the next write) can
    // make progress, at most `timeout_ms` milliseconds (negative: no limit).
    // True when ready. Returns true at once when the channel already holds
    // bytes a read would return without the socket (TLS keeps decrypted
    // bytes the socket no longer shows), so no such bytes are stuck behind
    // a wait. A TLS read may need the socket to be writable and a write may
    // need it readable: the channel waits for what its last call needed.
    virtual bool wait(bool for_write, int timeout_ms) = 0;
    // Waits up to `timeout_ms` (negative: no limit) for bytes and reads
    // them: as read(), where -1 means nothing came (yet); the caller checks
    // its own deadline. A channel may do both in one system call.
    virtual long read_within(char* buffer, std::size_t size, int timeout_ms) {
        return wait(false, timeout_ms) ? read(buffer, size) : -1;
    }
};

// Takes ownership of the connected socket (closed on failure too).
std::unique_ptr<channel> make_plain_channel(net::handle socket);

// The client socket over `stream`. `clock` gives monotonic milliseconds for
// the time-outs (the platform's clock unless a test supplies its own).
std::unique_ptr<IClientSocket> make_client_socket(std::unique_ptr<channel> stream,
                                                  std::int64_t (*clock)() noexcept = net::now_ms);

}  // namespace orbl
