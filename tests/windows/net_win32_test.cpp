// The Winsock layer below the client socket: numeric address recognition,
// resolution, the bounded non-blocking connect and the plain channel's
// timed reads.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "components/net/channel.h"
#include "components/net/net.h"
#include "components/net/socket.h"
#include "support/platform.h"
#include "support/net_connect.h"

namespace {

namespace net = orbl::net;

using select_fn = int(WSAAPI*)(int, fd_set*, fd_set*, fd_set*, const timeval*);

// Calls of select() that listed a connected socket both in the exception
// set and in another set: Wine 8's server can then miss a reset that comes
// while the wait is set up and abort, leaving the program waiting for ever.
std::atomic<int> connected_in_two_sets{0};

int WSAAPI checked_select(int count, fd_set* read, fd_set* write, fd_set* except,
                          const timeval* limit) {
    for (u_int i = 0; except && i < except->fd_count; ++i) {
        SOCKET socket = except->fd_array[i];
        bool twice = (read && FD_ISSET(socket, read)) || (write && FD_ISSET(socket, write));
        sockaddr_storage peer;
        int length = sizeof peer;
        if (twice && ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            ++connected_in_two_sets;
    }
    static const auto real = reinterpret_cast<select_fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ws2_32.dll"), "select")));
    return real(count, read, write, except, limit);
}

}  // namespace

// Every select() of this program goes through checked_select.
extern "C" {
extern const select_fn quel2cln_test_select __asm__("__imp__select@20");
const select_fn quel2cln_test_select = checked_select;
}

namespace {

TEST(NetWin32, NumericAddresses) {
    struct Case {
        const wchar_t* host;
        bool numeric;
    };
    const Case cases[] = {
        {L"127.0.0.1", true},      {L"::1", true},         {L"::ffff:10.1.2.3", true},
        {L"fe80::1", true},        {L"localhost", false},  {L"10.1.2", false},
        {L"127.0.0.1:85", false},  {L"[::1]", false},      {L"", false},
        {L"1.2.3.4 ", false},
    };
    for (const Case& c : cases) EXPECT_EQ(net::is_numeric_address(c.host), c.numeric) << c.host;
    EXPECT_FALSE(net::is_numeric_address(std::wstring(L"127.0.0.1\0x", 11)));
}

TEST(NetWin32, ResolvesNumericAddressesOfBothFamilies) {
    orbl::inet_address v4 = net::resolve(L"127.0.0.1", true);
    ASSERT_EQ(v4.addresses.size(), 1u);
    EXPECT_EQ(reinterpret_cast<const sockaddr*>(v4.addresses[0].data())->sa_family, AF_INET);
    EXPECT_EQ(v4.host, L"127.0.0.1");

    orbl::inet_address v6 = net::resolve(L"::1", true);
    ASSERT_EQ(v6.addresses.size(), 1u);
    EXPECT_EQ(reinterpret_cast<const sockaddr*>(v6.addresses[0].data())->sa_family, AF_INET6);
}

TEST(NetWin32, NamesAndEmptyTextsAreNotResolvedAsNumbers) {
    for (const wchar_t* host : {L"localhost", L""}) {
        try {
            net::resolve(host, true);
            ADD_FAILURE() << "resolved " << host;
        } catch (const orbl::socket_error& error) {
            EXPECT_EQ(error.code(), orbl::socket_code::host_not_found) << host;
            EXPECT_STREQ(error.what(), "host not found") << host;
        }
    }
}

// A listener that never accepts takes a connection or two into its backlog;
// after that Linux (under Wine) drops further connection requests, so a
// connect can only end by its own limit. A system that refuses them instead
// cannot show the limit.
TEST(NetWin32, ConnectThatDoesNotCompleteTimesOut) {
    ASSERT_EQ(orbl::socket_initialize_error_sys_code(), 0);
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    int port = ntohs(address.sin_port);
    std::vector<unsigned char> raw(reinterpret_cast<unsigned char*>(&address),
                                   reinterpret_cast<unsigned char*>(&address) + sizeof address);

    std::vector<net::handle> queued;
    int timed_out = 0;
    for (int i = 0; i < 20 && timed_out == 0; ++i) {
        try {
            queued.push_back(qtest::connect_to(raw, port, 300));
        } catch (const orbl::socket_error& error) {
            if (error.code() == orbl::socket_code::refused) {
                for (net::handle socket : queued) net::close(socket);
                ::closesocket(listener);
                GTEST_SKIP() << "a full backlog refuses connections here";
            }
            EXPECT_EQ(error.code(), orbl::socket_code::timed_out) << error.what();
            EXPECT_STREQ(error.what(), "connection timed out");
            ++timed_out;
        }
    }
    EXPECT_EQ(timed_out, 1) << "every connect completed";
    for (net::handle socket : queued) net::close(socket);
    ::closesocket(listener);
}

TEST(NetWin32, WaitsListAConnectedSocketInOneSetOnly) {
    int port = 0;
    test_platform::sock listener = test_platform::listen_loopback(port);
    ASSERT_NE(listener, test_platform::no_sock);
    orbl::inet_address address = net::resolve(L"127.0.0.1", true);
    net::handle socket = qtest::connect_to(address.addresses[0], port, 2000);
    connected_in_two_sets = 0;
    EXPECT_FALSE(net::wait(socket, false, 10));
    EXPECT_TRUE(net::wait(socket, true, 1000));
    EXPECT_EQ(connected_in_two_sets, 0);
    net::close(socket);
    test_platform::close_socket(listener);
}

// Each timed read of the plain channel on a silent peer lasts its own limit,
// also when the limit changes, and sleeps while it waits. (Reads that bytes
// or the end of stream end are what every end-to-end test does.)
TEST(NetWin32, PlainChannelReadsWaitTheirOwnLimitWithoutSpinning) {
    int port = 0;
    test_platform::sock listener = test_platform::listen_loopback(port);
    ASSERT_NE(listener, test_platform::no_sock);
    auto stream = orbl::make_plain_channel(
        qtest::connect_to(net::resolve(L"127.0.0.1", true).addresses[0], port, 2000));
    test_platform::sock peer = test_platform::accept_within(listener, 2000);
    ASSERT_NE(peer, test_platform::no_sock);
    char buffer[64];
    for (int limit : {0, 1000, 200, 1000}) {
        qtest::Spent wait = qtest::spent([&] { EXPECT_EQ(stream->read(buffer, sizeof buffer, limit), -1) << limit; });
        EXPECT_GE(wait.wall_ms, limit - 50) << limit;
        EXPECT_LT(wait.wall_ms, limit + 400) << limit;
        EXPECT_LT(wait.cpu_ms, 50) << limit;
    }
    test_platform::close_socket(peer);
    test_platform::close_socket(listener);
}

}  // namespace
