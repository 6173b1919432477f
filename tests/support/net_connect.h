#pragma once
// One connect through the library's socket layer, for tests that need a
// connected socket of the library's own kind.
#include <cstdint>
#include <vector>

#include "components/net/net.h"
#include "support/platform.h"

namespace qtest {

// Connects to one address (raw socket address bytes as kept in
// inet_address) and `port` within `timeout_ms`; the socket is left as the
// library's connects leave it. Throws socket_error (10060 on time-out).
orbl::net::handle connect_to(const std::vector<unsigned char>& address, int port, int timeout_ms);

// Wall time and CPU time of the calling thread that `call` takes, in ms.
struct Spent {
    std::int64_t wall_ms;
    std::int64_t cpu_ms;
};
template <class Call>
Spent spent(Call call) {
    std::int64_t wall = orbl::net::now_ms(), cpu = test_platform::thread_cpu_ms();
    call();
    return {orbl::net::now_ms() - wall, test_platform::thread_cpu_ms() - cpu};
}

}  // namespace qtest
