// The POSIX socket layer's bounds against peers that never answer: a
// connect the server's system drops, a server that vanishes without closing
// (keep-alive), and the plain channel's waits on a silent server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "components/net/channel.h"
#include "components/net/net.h"
#include "support/net_connect.h"

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
            queued.push_back(qtest::connect_to(listener.address, listener.port, 300));
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
    net::handle socket = qtest::connect_to(listener.address, listener.port, 1000);
    EXPECT_EQ(option(socket, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPIDLE), net::keepalive_idle_s);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPINTVL), net::keepalive_interval_s);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPCNT), net::keepalive_count);
    net::close(socket);
}

// A plain channel to a server that accepts nothing, never answers and never
// reads, with a send buffer filled until no room came for 200 ms.
// Both buffers are small and fixed, so that no room comes later.
struct SilentPeer {
    Listener listener;
    std::unique_ptr<orbl::channel> stream;
    std::string block = std::string(1 << 16, 'x');
    SilentPeer() {
        int small = 4096;
        ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        net::handle socket = qtest::connect_to(listener.address, listener.port, 1000);
        ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        stream = orbl::make_plain_channel(socket);
        while (stream->write(block.data(), block.size(), 200) > 0) {
        }
    }
};

// Each wait lasts its time and sleeps while it waits: a socket left
// non-blocking or a read that does not wait would return at once or spin.
TEST(PlainChannel, WaitsOnASilentPeerWithoutSpinning) {
    SilentPeer peer;
    char buffer[64];
    qtest::Spent read = qtest::spent([&] { EXPECT_EQ(peer.stream->read(buffer, sizeof buffer, 1000), -1); });
    // The peer's system may still make a little room now and then.
    qtest::Spent write{};
    long written = 1;
    for (int i = 0; i < 20 && written > 0; ++i)
        write = qtest::spent([&] { written = peer.stream->write(peer.block.data(), peer.block.size(), 1000); });
    EXPECT_EQ(written, -1);
    for (const qtest::Spent& wait : {read, write}) {
        EXPECT_GE(wait.wall_ms, 950);
        EXPECT_LT(wait.cpu_ms, 50);
    }
}

// Signals every 50 ms cut the system's waits short; every wait of the
// client socket still ends by its own time-out, counted once.
volatile sig_atomic_t signals_left = 0;
void on_alarm(int) {
    if (--signals_left <= 0) {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
    }
}

TEST(PlainChannel, SignalsDoNotRestartATimeOut) {
    struct sigaction action{}, previous{};
    action.sa_handler = on_alarm;  // no SA_RESTART: the waits see EINTR
    ::sigaction(SIGALRM, &action, &previous);
    SilentPeer peer;
    auto socket = orbl::make_client_socket(std::move(peer.stream));
    const int limit = 1000;
    for (int kind : {orbl::timeout_kind::receive, orbl::timeout_kind::send}) socket->set_timeout(kind, &limit);
    orbl::socket_packet packet;
    packet.modify_data().assign(1 << 20, 'x');
    for (int kind : {orbl::timeout_kind::receive, orbl::timeout_kind::send}) {
        signals_left = 60;  // 3 s of signals: a restarted wait would outlast them
        itimerval every{{0, 50000}, {0, 50000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
        qtest::Spent wait = qtest::spent([&] {
            EXPECT_FALSE(kind == orbl::timeout_kind::send ? socket->send_packet(packet)
                                                          : socket->receive_packet(packet));
        });
        EXPECT_GE(wait.wall_ms, 950) << kind;
        EXPECT_LT(wait.wall_ms, 1500) << kind;
        EXPECT_GT(signals_left, 0) << kind;
    }
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
}

}  // namespace
