// The Winsock layer below the client socket: numeric address recognition,
// resolution and the bounded non-blocking connect.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <vector>

#include "components/net.h"
#include "components/socket.h"

namespace {

namespace net = orbl::net;

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
            queued.push_back(net::connect_to(raw, port, 300));
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

}  // namespace
