// The calls of socket.h that stand straight on the platform's (net.h), and
// the one wait of net.h that is the same on every platform.
#include "components/net/net.h"
#include "components/net/socket.h"

namespace orbl {

namespace net {

long send_within(handle socket, const char* data, std::size_t size, int timeout_ms) {
    long sent = send_some(socket, data, size);
    if (sent >= 0 || timeout_ms == 0 || !wait(socket, true, timeout_ms)) return sent;
    return send_some(socket, data, size);
}

}  // namespace net

int socket_initialize_error_sys_code() {
    return net::startup_error();
}

void socket_finalize() noexcept {
    net::cleanup();
}

bool is_valid_addr(const std::wstring& host) {
    return net::is_numeric_address(host);
}

inet_address get_host_by_addr(const std::wstring& host) {
    return net::resolve(host, true);
}

inet_address get_host_by_name(const std::wstring& host) {
    return net::resolve(host, false);
}

void sleep_ms(int milliseconds) {
    net::sleep(milliseconds);
}

}  // namespace orbl
