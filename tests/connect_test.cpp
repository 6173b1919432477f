#include "connection/connect.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "components/net/net.h"
#include "protocol/errors.h"
#include "support/platform.h"
#include "support/fake_socket.h"
#include "support/net_connect.h"

namespace {

using qtest::FakeScript;
using qtest::FakeSocket;

// A factory whose tries fail with the scripted socket errors, in order, and
// then succeed with a fake socket. It records every try and every pause.
struct ScriptedFactory {
    struct Failure {
        int code;
        std::string text;
    };
    std::deque<Failure> failures;
    std::shared_ptr<FakeScript> socket_script = std::make_shared<FakeScript>();

    std::vector<std::string> events;  // "try port level" and "sleep ms"
    std::vector<std::size_t> address_counts;

    quel::connect_env env() {
        quel::connect_env env;
        env.factory = [this](const orbl::inet_address& address, int port, int level) {
            events.push_back("try " + std::to_string(port) + " " + std::to_string(level));
            address_counts.push_back(address.addresses.size());
            if (!failures.empty()) {
                Failure failure = failures.front();
                failures.pop_front();
                throw orbl::socket_error(failure.code, failure.text);
            }
            return std::unique_ptr<orbl::IClientSocket>(
                std::make_unique<FakeSocket>(socket_script));
        };
        env.sleep = [this](int ms) { events.push_back("sleep " + std::to_string(ms)); };
        return env;
    }
};

quel::Settings settings_with(int attempts, int pause) {
    quel::Settings settings;
    settings.host = "127.0.0.1";
    settings.port = 4321;
    settings.security_level = 0;
    settings.attempts = attempts;
    settings.pause = pause;
    settings.socket_timeout = 111;
    settings.tail_timeout = 222;
    return settings;
}

// what() of the client_error thrown by connect, or "connected".
std::string connect_outcome(ScriptedFactory& factory, const quel::Settings& settings) {
    try {
        auto connection = quel::connect(settings, factory.env());
        return connection ? "connected" : "null";
    } catch (const quel::client_error& error) {
        return error.what();
    }
}

TEST(Connect, TriesAndPausesUntilOneSucceeds) {
    struct Case {
        const char* name;
        int attempts, pause, failures;
        std::vector<std::string> events;
        std::string outcome;
    };
    const std::string t = "try 4321 0";
    const Case cases[] = {
        {"first try", 3, 3000, 0, {t}, "connected"},
        {"one try, refused", 1, 3000, 1, {t}, "refused 1"},
        {"three refused", 3, 3000, 3, {t, "sleep 3000", t, "sleep 3000", t}, "refused 3"},
        {"third succeeds", 3, 50, 2, {t, "sleep 50", t, "sleep 50", t}, "connected"},
        {"pause 0", 2, 0, 2, {t, "sleep 0", t}, "refused 2"},
    };
    for (const Case& c : cases) {
        ScriptedFactory factory;
        for (int i = 1; i <= c.failures; ++i)
            factory.failures.push_back({10061, "refused " + std::to_string(i)});
        EXPECT_EQ(connect_outcome(factory, settings_with(c.attempts, c.pause)), c.outcome)
            << c.name;
        EXPECT_EQ(factory.events, c.events) << c.name;
    }
}

TEST(Connect, ReportsOnlyTheLastTrysText) {
    ScriptedFactory factory;
    factory.failures = {{10061, "connection refused"}, {10060, "connection timed out"}};
    EXPECT_EQ(connect_outcome(factory, settings_with(2, 0)), "connection timed out");
}

TEST(Connect, SetsTheTimeoutsOnTheNewSocket) {
    ScriptedFactory factory;
    quel::Settings settings = settings_with(1, 0);
    settings.security_level = 0;
    ASSERT_EQ(connect_outcome(factory, settings), "connected");
    using kinds = std::vector<std::pair<int, int>>;
    EXPECT_EQ(factory.socket_script->timeouts, (kinds{{0, 111}, {2, 111}, {1, 222}}));
    EXPECT_EQ(factory.address_counts, std::vector<std::size_t>{1});
}

TEST(Connect, FailingTimeoutCountsAsAFailedTry) {
    ScriptedFactory factory;
    factory.socket_script->timeout_throws = true;
    EXPECT_EQ(connect_outcome(factory, settings_with(2, 5)), "invalid argument");
    EXPECT_EQ(factory.events, (std::vector<std::string>{"try 4321 0", "sleep 5", "try 4321 0"}));
    EXPECT_TRUE(factory.socket_script->destroyed);
}

TEST(Connect, UnresolvableHostMakesNoTry) {
    ScriptedFactory factory;
    quel::Settings settings = settings_with(3, 10);
    settings.host = std::string("bad\0host", 8);  // refused by the resolver itself
    try {
        quel::connect(settings, factory.env());
        FAIL() << "connected";
    } catch (const orbl::socket_error& error) {
        EXPECT_EQ(error.code(), 11001);
        EXPECT_STREQ(error.what(), "host not found");
    }
    EXPECT_TRUE(factory.events.empty());
}

TEST(Connect, RealFactoryRefusesAnInvalidPort) {
    quel::connect_env env;
    std::vector<int> sleeps;
    env.sleep = [&](int ms) { sleeps.push_back(ms); };
    for (int port : {0, 65536, 70000, -5}) {
        quel::Settings settings = settings_with(2, 7);
        settings.port = port;
        try {
            quel::connect(settings, env);
            ADD_FAILURE() << "port " << port << " accepted";
        } catch (const quel::client_error& error) {
            EXPECT_STREQ(error.what(), "invalid port") << port;
        }
    }
    EXPECT_TRUE(sleeps.empty());  // refused before any try
}

TEST(Connect, RealFactoryRefusesSecurityLevelsItCannotProvide) {
    quel::connect_env env;
    env.sleep = [](int) {};
    quel::Settings settings = settings_with(1, 0);
    settings.security_level = 7;
    try {
        quel::connect(settings, env);
        FAIL() << "connected";
    } catch (const quel::client_error& error) {
        EXPECT_STREQ(error.what(), "unsupported security level");
    }
}

// A listener whose backlog is full drops further connection requests, like
// a host that does not answer. A name whose first address does that still
// connects through its second address, before the first attempt's own limit
// (a connect that waited for it would take connect_timeout_ms or more).
TEST(Connect, AnAddressThatDoesNotAnswerDoesNotHoldUpTheNext) {
    namespace tp = test_platform;
    int port = 0;
    tp::sock silent = tp::listen_on("127.0.0.1", port, 0);
    ASSERT_NE(silent, tp::no_sock);
    tp::sock live = tp::listen_on("127.0.0.2", port, 16);
    if (live == tp::no_sock) {
        tp::close_socket(silent);
        GTEST_SKIP() << "127.0.0.2 is not a loopback address here";
    }
    orbl::inet_address address = orbl::get_host_by_addr(L"127.0.0.1");
    std::vector<orbl::net::handle> queued;
    bool dropping = false;
    for (int i = 0; i < 20 && !dropping; ++i) {
        try {
            queued.push_back(qtest::connect_to(address.addresses[0], port, 300));
        } catch (const orbl::socket_error& error) {
            ASSERT_EQ(error.code(), orbl::socket_code::timed_out) << error.what();
            dropping = true;
        }
    }
    ASSERT_TRUE(dropping) << "every connect completed";

    address.addresses.push_back(orbl::get_host_by_addr(L"127.0.0.2").addresses[0]);
    const std::size_t handles = tp::open_handles();
    std::int64_t start = orbl::net::now_ms();
    auto socket = orbl::IClientSocket::factory(address, port, 0);
    EXPECT_LT(orbl::net::now_ms() - start, orbl::connect_timeout_ms);
    tp::sock accepted = tp::accept_within(live, 1000);
    EXPECT_NE(accepted, tp::no_sock);

    socket.reset();
    if (handles > 0) {
        EXPECT_EQ(tp::open_handles(), handles + (accepted != tp::no_sock)) << "the losing attempt is closed";
    }
    if (accepted != tp::no_sock) tp::close_socket(accepted);
    for (orbl::net::handle queued_socket : queued) orbl::net::close(queued_socket);
    tp::close_socket(live);
    tp::close_socket(silent);
}

// When every address fails, the failure that came last is reported: an
// address that cannot be used fails at once, a refused one a little later.
TEST(Connect, AllAddressesFailingReportTheLastFailure) {
    namespace tp = test_platform;
    int port = 0;
    tp::sock refusing = tp::reserve_refusing_port(port);
    ASSERT_NE(refusing, tp::no_sock);
    const std::vector<unsigned char> refused = orbl::get_host_by_addr(L"127.0.0.1").addresses[0];
    const std::vector<unsigned char> unusable(1, 0);
    struct Case {
        std::vector<std::vector<unsigned char>> addresses;
        int code;
    };
    const Case cases[] = {{{unusable, refused}, orbl::socket_code::refused},
                          {{refused, unusable}, orbl::socket_code::invalid_argument}};
    for (const Case& c : cases) {
        orbl::inet_address address{L"127.0.0.1", c.addresses};
        try {
            orbl::IClientSocket::factory(address, port, 0);
            ADD_FAILURE() << "connected";
        } catch (const orbl::socket_error& error) {
            EXPECT_EQ(error.code(), c.code) << error.what();
        }
    }
    tp::close_socket(refusing);
}

}  // namespace
