#include "exports/client_context.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "protocol/errors.h"
#include "support/fake_socket.h"
#include "support/test_server.h"
#include "support/wire.h"

namespace {

using qtest::FakeScript;
using qtest::FakeSocket;
using qtest::frame;

std::string last_error(const quel::ClientContext& context) {
    return context.last_error ? *context.last_error : "<none>";
}

// A context whose connections come from a fake factory; each new connection
// gets the next script of `scripts` (an empty script when they run out).
struct FakeContext {
    quel::ClientContext context;
    std::vector<std::shared_ptr<FakeScript>> scripts;
    int connects = 0;

    explicit FakeContext(int attempts = 3) {
        context.settings.host = "127.0.0.1";
        context.settings.attempts = attempts;
        context.env.sleep = [](int) {};
        context.env.factory = [this](const orbl::inet_address&, int, int) {
            ++connects;
            if (scripts.size() < static_cast<std::size_t>(connects))
                scripts.push_back(std::make_shared<FakeScript>());
            return std::unique_ptr<orbl::IClientSocket>(
                std::make_unique<FakeSocket>(scripts[connects - 1]));
        };
    }
    std::shared_ptr<FakeScript> script(int connection) {
        while (scripts.size() < static_cast<std::size_t>(connection))
            scripts.push_back(std::make_shared<FakeScript>());
        return scripts[connection - 1];
    }
};

TEST(RetryDecision, OnlyBrokenConnectionsWhileTriesRemain) {
    struct Case {
        int attempt, attempts, code;
        bool retry;
        std::string text;
    };
    const Case cases[] = {
        {0, 3, 0, true, "<none>"},
        {2, 3, 10053, true, "<none>"},
        {2, 3, 10054, true, "<none>"},
        {3, 3, 10054, false, "(10054) reset"},
        {3, 3, 0, false, "(0) reset"},
        {1, 1, 10053, false, "(10053) reset"},
        {0, 3, 10060, false, "(10060) reset"},
        {0, 3, 10061, false, "(10061) reset"},
        {0, 10, -1, false, "(-1) reset"},
        {0, 3, 11001, false, "(11001) reset"},
        {0, 3, -2147483647 - 1, false, "(-2147483648) reset"},
    };
    for (const Case& c : cases) {
        FakeContext f(c.attempts);
        f.context.ensure_connection();
        ASSERT_NE(f.context.connection, nullptr);
        EXPECT_EQ(f.context.retry_after_socket_error(c.attempt, orbl::socket_error(c.code, "reset")),
                  c.retry)
            << c.code;
        EXPECT_EQ(last_error(f.context), c.text) << c.code;
        EXPECT_EQ(f.context.connection, nullptr) << "connection kept after code " << c.code;
    }
}

TEST(CallFrame, RunsAtMostAttemptsPlusOneTimes) {
    for (int attempts : {1, 3, 10}) {
        FakeContext f(attempts);
        int tries = 0;
        bool result = f.context.run_call([&] {
            ++tries;
            throw orbl::socket_error(10054, "connection reset by peer");
        });
        EXPECT_FALSE(result);
        EXPECT_EQ(tries, attempts + 1);
        EXPECT_EQ(last_error(f.context), "(10054) connection reset by peer");
    }
}

TEST(CallFrame, TurnsEveryFailureIntoALastError) {
    FakeContext f;
    struct Case {
        const char* name;
        std::function<void()> body;
        bool result;
        std::string text;
        int tries;
    };
    int tries = 0;
    const Case cases[] = {
        {"success", [] {}, true, "<none>", 1},
        {"client error", [] { throw quel::client_error("invalid lock mode"); }, false,
         "invalid lock mode", 1},
        {"frame error", [] { throw quel::msg_error("no message magic"); }, false,
         "no message magic", 1},
        {"empty text", [] { throw std::runtime_error(""); }, false, "", 1},
        {"standard exception", [] { throw std::bad_alloc(); }, false, std::bad_alloc().what(), 1},
        {"not an exception", [] { throw 42; }, false, "unknown", 1},
        {"other socket error", [] { throw orbl::socket_error(10060, "connection timed out"); },
         false, "(10060) connection timed out", 1},
        {"closed once, then fine",
         [&tries] {
             if (tries == 1) throw orbl::socket_error(0, "connection closed by peer");
         },
         true, "<none>", 2},
    };
    for (const Case& c : cases) {
        f.context.set_last_error("stale");
        tries = 0;
        bool result = f.context.run_call([&] {
            ++tries;
            c.body();
        });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(last_error(f.context), c.text) << c.name;
        EXPECT_EQ(tries, c.tries) << c.name;
    }
}

TEST(CallFrame, OtherFailuresKeepTheConnection) {
    FakeContext f;
    f.context.ensure_connection();
    quel::Connection* open = f.context.connection.get();
    EXPECT_FALSE(f.context.run_call([] { throw quel::client_error("refused"); }));
    EXPECT_EQ(f.context.connection.get(), open);
    EXPECT_EQ(f.connects, 1);
}

TEST(EnsureConnection, ReplacesAConnectionThatFellOutOfStep) {
    FakeContext f;
    // The first connection gets an oversized header: a frame fault that
    // leaves the rest of that message on the stream.
    f.script(1)->deliver(qtest::header(quel::Reply, 62914561));
    f.script(2)->deliver(frame(quel::Reply, qtest::Wire().u32(41)));

    bool first = f.context.run_call([&] { f.context.ensure_connection().exec_sql("", "", ""); });
    EXPECT_FALSE(first);
    EXPECT_EQ(last_error(f.context), "message data too big");
    EXPECT_EQ(f.connects, 1);

    unsigned int value = 0;
    bool second = f.context.run_call(
        [&] { f.context.ensure_connection().calc_auto_inc("", "", "", "", &value); });
    EXPECT_TRUE(second) << last_error(f.context);
    EXPECT_EQ(value, 41u);
    EXPECT_EQ(f.connects, 2);
    EXPECT_TRUE(f.script(1)->destroyed);
    EXPECT_EQ(f.script(2)->sent.size(), 1u);
}

TEST(EnsureConnection, KeepsAConnectionInStep) {
    FakeContext f;
    f.script(1)->deliver(frame(quel::ErrorReply, qtest::Wire().str("busy")));
    f.script(1)->deliver(frame(quel::Reply, ""));
    EXPECT_FALSE(f.context.run_call([&] { f.context.ensure_connection().exec_sql("", "", ""); }));
    EXPECT_EQ(last_error(f.context), "busy");
    EXPECT_TRUE(f.context.run_call([&] { f.context.ensure_connection().exec_sql("", "", ""); }));
    EXPECT_EQ(f.connects, 1);
    EXPECT_EQ(f.script(1)->sent.size(), 2u);
}

}  // namespace
