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

// The resend rule, in one place: a call is sent at most Attempts+1 times.
// Only a broken connection (closed 0, aborted 10053, reset 10054) is sent
// again, each time on a new connection, and a later success ends the call
// well; any other failure ends the call at once with its last error. A
// socket error or the call's deadline closes the connection; any other
// failure keeps it.
TEST(CallFrame, ResendsOnlyBrokenConnectionsAtMostAttemptsTimes) {
    struct Case {
        const char* name;
        int attempts;
        int failing;  // tries that fail before the call would succeed
        std::function<void()> failure;
        bool result;
        std::string text;
        int tries;  // each on a connection of its own
        bool kept;  // a connection is open afterwards
    };
    const auto socket = [](int code) { return [code] { throw orbl::socket_error(code, "x"); }; };
    const int every = 100;
    const Case cases[] = {
        {"success", 3, 0, nullptr, true, "<none>", 1, true},
        {"client error", 3, every, [] { throw quel::client_error("invalid lock mode"); }, false,
         "invalid lock mode", 1, true},
        {"frame error", 3, every, [] { throw quel::msg_error("no message magic"); }, false,
         "no message magic", 1, true},
        {"empty text", 3, every, [] { throw std::runtime_error(""); }, false, "", 1, true},
        {"standard exception", 3, every, [] { throw std::bad_alloc(); }, false, std::bad_alloc().what(),
         1, true},
        {"not an exception", 3, every, [] { throw 42; }, false, "unknown", 1, true},
        {"call deadline", 3, every, [] { throw orbl::call_timeout(); }, false, "call timed out", 1, false},
        {"timed out", 3, every, socket(10060), false, "(10060) x", 1, false},
        {"refused", 3, every, socket(10061), false, "(10061) x", 1, false},
        {"no code", 10, every, socket(-1), false, "(-1) x", 1, false},
        {"host not found", 3, every, socket(11001), false, "(11001) x", 1, false},
        {"lowest code", 3, every, socket(-2147483647 - 1), false, "(-2147483648) x", 1, false},
        {"closed every time", 3, every, socket(0), false, "(0) x", 4, false},
        {"reset every time", 1, every, socket(10054), false, "(10054) x", 2, false},
        {"aborted every time", 10, every, socket(10053), false, "(10053) x", 11, false},
        {"closed once, then fine", 3, 1, socket(0), true, "<none>", 2, true},
        {"reset twice, then fine", 3, 2, socket(10054), true, "<none>", 3, true},
    };
    for (const Case& c : cases) {
        FakeContext f(c.attempts);
        f.context.set_last_error("stale");
        int tries = 0;
        bool result = f.context.run_call([&] {
            f.context.ensure_connection();
            if (tries++ < c.failing) c.failure();
        });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(last_error(f.context), c.text) << c.name;
        EXPECT_EQ(tries, c.tries) << c.name;
        EXPECT_EQ(f.connects, c.tries) << c.name;
        EXPECT_EQ(f.context.connection != nullptr, c.kept) << c.name;
    }
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
