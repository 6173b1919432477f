// The POSIX socket layer's bounds against peers that never answer: a
// connect the server's system drops, and a server that vanishes without
// closing (keep-alive).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "components/net.h"

namespace {

namespace net = orbl::net;

struct Listener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    std::vector<unsigned char> address;

    // Backlog 0 and never accepting: once a connection or two wait in the
    // backlog, Linux drops further connection requests without an answer.
    Listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0 || ::listen(fd, 0) != 0)
            return;
        port = ntohs(a.sin_port);
        address.assign(reinterpret_cast<unsigned char*>(&a), reinterpret_cast<unsigned char*>(&a) + sizeof a);
    }
    ~Listener() { ::close(fd); }
};

int option(net::handle socket, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(static_cast<int>(socket), level, name, &value, &length);
    return value;
}

TEST(NetPosix, DroppedConnectEndsAtItsLimit) {
    Listener listener;
    ASSERT_NE(listener.port, 0);
    std::vector<net::handle> queued;
    int timed_out = 0;
    for (int i = 0; i < 20 && timed_out == 0; ++i) {
        try {
            queued.push_back(net::connect_to(listener.address, listener.port, 300));
        } catch (const orbl::socket_error& error) {
            EXPECT_EQ(error.code(), orbl::socket_code::timed_out) << error.what();
            EXPECT_STREQ(error.what(), "connection timed out");
            ++timed_out;
        }
    }
    EXPECT_EQ(timed_out, 1) << "every connect completed";
    for (net::handle socket : queued) net::close(socket);
}

TEST(NetPosix, EveryConnectionProbesAVanishedPeer) {
    Listener listener;
    ASSERT_NE(listener.port, 0);
    net::handle socket = net::connect_to(listener.address, listener.port, 1000);
    EXPECT_EQ(option(socket, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPIDLE), net::keepalive_idle_s);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPINTVL), net::keepalive_interval_s);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPCNT), net::keepalive_count);
    net::close(socket);
}

}  // namespace
