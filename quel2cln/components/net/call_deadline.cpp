// The deadline of the whole call under way, one for the process: the
// client socket, the connect race and the TLS handshake cut their waits to
// it.
#include <algorithm>
#include <cstdint>

#include "components/net/net.h"
#include "components/net/net_errors.h"
#include "components/net/socket.h"

namespace orbl {

namespace {

// The deadline of the call under way (see set_call_deadline).
bool call_deadline_set = false;
std::int64_t call_deadline_ms = 0;

}  // namespace

call_timeout::call_timeout() : std::runtime_error(net::call_timeout_text) {}

void set_call_deadline(int milliseconds) noexcept {
    call_deadline_set = milliseconds > 0;
    if (call_deadline_set) call_deadline_ms = net::now_ms() + milliseconds;
}

void clear_call_deadline() noexcept { call_deadline_set = false; }

int call_bounded_wait(int wait_ms) {
    if (!call_deadline_set) return wait_ms;
    const std::int64_t left = call_deadline_ms - net::now_ms();
    if (left <= 0) throw call_timeout();
    return wait_ms < 0 || wait_ms > left ? static_cast<int>(std::min<std::int64_t>(left, 0x7FFFFFFF)) : wait_ms;
}

void check_call_deadline() {
    if (call_deadline_set && call_deadline_ms - net::now_ms() <= 0) throw call_timeout();
}

}  // namespace orbl
