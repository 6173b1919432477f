#include "protocol/exchange.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "connection/connection.h"
#include "exports/client_context.h"
#include "operations/field_list.h"
#include "protocol/errors.h"
#include "support/fake_socket.h"
#include "support/test_server.h"
#include "support/wire.h"

namespace {

// The largest single allocation since the test last reset it: shows whether
// a request was copied before it was refused. And the bytes allocated now:
// shows what a connection keeps between calls.
std::size_t largest_allocation = 0;
std::size_t live_bytes = 0;
std::size_t allocations = 0;
std::size_t peak_bytes = 0;  // the most live_bytes reached
std::size_t allocated_bytes = 0;  // every block's size, added up
// Each block carries its size in front of it.
constexpr std::size_t size_field = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t size) {
    if (size > largest_allocation) largest_allocation = size;
    ++allocations;
    auto* block = static_cast<char*>(std::malloc(size + size_field));
    if (!block) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    live_bytes += size;
    allocated_bytes += size;
    if (live_bytes > peak_bytes) peak_bytes = live_bytes;
    return block + size_field;
}
void operator delete(void* block) noexcept {
    if (!block) return;
    char* start = static_cast<char*>(block) - size_field;
    live_bytes -= *reinterpret_cast<std::size_t*>(start);
    std::free(start);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
// Arrays too: a sanitizer's runtime would otherwise take them past the count.
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }

namespace {

using qtest::FakeScript;
using qtest::FakeSocket;
using qtest::frame;
using qtest::Wire;

// what() of the exception that receive_reply throws, "" when it returns a
// Reply, with the exception's kind in front.
std::string outcome(FakeScript& script_template) {
    auto script = std::make_shared<FakeScript>(script_template);
    FakeSocket socket(script);
    try {
        auto reply = quel::receive_reply(socket);
        if (!reply) return "null";
        return "reply:" + std::string(reply->data_begin(), reply->data_end());
    } catch (const quel::client_error& error) {
        return std::string("client_error:") + error.what();
    } catch (const quel::msg_error& error) {
        return std::string("msg_error:") + error.what();
    } catch (const std::runtime_error& error) {
        return std::string("runtime_error:") + error.what();
    }
}

TEST(ReceiveReply, ClassifiesTheNextMessage) {
    struct Case {
        const char* name;
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {"reply", frame(1, "xyz"), "reply:xyz"},
        {"empty reply", frame(1, ""), "reply:"},
        {"error reply", frame(2, Wire().str("table is locked")), "client_error:table is locked"},
        {"empty error text", frame(2, Wire().str("")), "client_error:"},
        {"bytes after the error text", frame(2, Wire().str("no").u32(99)), "client_error:no"},
        {"error text cut short", frame(2, Wire().u32(10).raw("abc")),
         "runtime_error:message data truncated"},
        {"error reply without payload", frame(2, ""), "runtime_error:message data truncated"},
        {"type 3", frame(3, Wire().str("x")), "client_error:unexpected message"},
        {"type 5", frame(5, ""), "client_error:unexpected message"},
        {"type 7", frame(7, ""), "client_error:unexpected message"},
        {"type 8 is a frame fault", frame(8, ""), "msg_error:invalid message type"},
    };
    for (const Case& c : cases) {
        FakeScript script;
        script.deliver(c.message);
        EXPECT_EQ(outcome(script), c.expected) << c.name;
    }
}

TEST(ReceiveReply, KeepsWaitingWhileNothingArrives) {
    auto script = std::make_shared<FakeScript>();
    for (int i = 0; i < 5; ++i) script->deliver_nothing();
    script->deliver(frame(1, "late"));
    FakeSocket socket(script);
    auto reply = quel::receive_reply(socket);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(std::string(reply->data_begin(), reply->data_end()), "late");
    EXPECT_EQ(script->receive_calls, 6);
    EXPECT_TRUE(script->sent.empty());
}

// A Connection over a scripted socket, with the script kept by the test.
struct ScriptedConnection {
    std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
    quel::Connection connection{std::make_unique<FakeSocket>(script)};
};

TEST(ConnectionStep, StaysInStepAfterCompleteAnswers) {
    ScriptedConnection c;
    c.script->deliver(frame(2, Wire().str("refused")));
    EXPECT_THROW(c.connection.exec_sql("a", "b", "c"), quel::client_error);
    EXPECT_TRUE(c.connection.in_step());

    c.script->deliver(frame(4, ""));
    EXPECT_THROW(c.connection.exec_sql("a", "b", "c"), quel::client_error);
    EXPECT_TRUE(c.connection.in_step());

    EXPECT_THROW(c.connection.lock("a", "b", 2, "", 0, nullptr, nullptr, 0), quel::client_error);
    EXPECT_TRUE(c.connection.in_step());

    c.script->deliver(frame(1, ""));
    EXPECT_NO_THROW(c.connection.exec_sql("a", "b", "c"));
    EXPECT_TRUE(c.connection.in_step());
    EXPECT_EQ(c.script->sent.size(), 3u);
}

TEST(ConnectionStep, FrameFaultsLeaveTheConnectionOutOfStep) {
    struct Case {
        const char* name;
        std::string first;
        const char* text;
    };
    const Case cases[] = {
        {"too big", qtest::header(1, 62914561), "message data too big"},
        {"bad magic", std::string(32, 'Q'), "no message magic"},
        {"short header", qtest::header(1, 0).substr(0, 10), "no message header"},
        {"tail missing", qtest::header(1, 100) + "abc", "message tail timeout exceed"},
    };
    for (const Case& k : cases) {
        ScriptedConnection c;
        c.script->deliver(k.first);
        try {
            c.connection.exec_sql("", "", "");
            ADD_FAILURE() << k.name << ": no error";
        } catch (const quel::msg_error& error) {
            EXPECT_STREQ(error.what(), k.text) << k.name;
        }
        EXPECT_FALSE(c.connection.in_step()) << k.name;
    }
}

TEST(ConnectionStep, FailedSendLeavesTheConnectionOutOfStep) {
    ScriptedConnection c;
    c.script->send_result = false;
    try {
        c.connection.save_result("1", "2", "3", "4", "5");
        FAIL() << "no error";
    } catch (const quel::msg_error& error) {
        EXPECT_STREQ(error.what(), "send message timeout");
    }
    EXPECT_FALSE(c.connection.in_step());
}

// Not only frame faults: whatever breaks off an exchange once the request
// has begun to go out leaves unread bytes behind.
TEST(ConnectionStep, AnyFailureInTheExchangeLeavesTheConnectionOutOfStep) {
    const char* names[] = {"no memory for the reply", "reset while waiting", "reset while sending"};
    for (int i = 0; i < 3; ++i) {
        ScriptedConnection c;
        c.script->deliver(qtest::header(1, 100));
        c.script->tail_out_of_memory = i == 0;
        if (i == 1) c.script->deliveries.front() = {FakeScript::Delivery::error, {}, 10054, "reset"};
        c.script->send_throws = i == 2;
        EXPECT_ANY_THROW(c.connection.exec_sql("a", "b", "c")) << names[i];
        EXPECT_FALSE(c.connection.in_step()) << names[i];
    }
}

TEST(ConnectionStep, OversizedRequestIsRefusedBeforeAnythingIsCopied) {
    ScriptedConnection c;
    const std::string third(quel::MaxMessageDataSize / 3, 'q');  // 12 length bytes over the bound
    largest_allocation = 0;
    try {
        c.connection.save_result(third, third, third, "", "");
        FAIL() << "no error";
    } catch (const quel::msg_error& error) {
        EXPECT_STREQ(error.what(), "message data too big");
    }
    EXPECT_LT(largest_allocation, 65536u);
    EXPECT_TRUE(c.script->sent.empty());
    EXPECT_TRUE(c.connection.in_step());
}

// The connection reuses its message buffers, but keeps none larger than
// 64 KiB once a call is over, however the call ended.
// Whatever ends a call, the connection keeps no more than 64 KiB for its
// messages; a large ErrorReply text is held at most twice at any moment
// (the message and the text, then the text and the error).
TEST(ConnectionStep, KeepsNoLargeBufferBetweenCalls) {
    ScriptedConnection c;
    const std::size_t n = 1 << 20;
    const std::string big(n, 'q');
    c.script->deliver(frame(1, ""));
    c.connection.exec_sql("warm", "", "");
    struct Case {
        const char* name;
        std::string reply;  // empty: the receive fails
        bool big_request;
        bool lock = false;  // a Lock call, whose reply is read in parts
    };
    const Case cases[] = {
        {"a large request", frame(1, ""), true},
        {"a large Reply", frame(1, big), false},
        {"a large ErrorReply", frame(2, Wire().str(big)), false},
        {"a reply cut short", frame(1, Wire().flag(false).str(big).bytes().substr(0, 1000000)), false, true},
        {"a large request refused", frame(2, Wire().str("no")), true},
        {"a large request whose reply fails", "", true},
    };
    const std::size_t base = live_bytes;
    for (const Case& k : cases) {
        if (k.reply.empty()) c.script->fail(10054, "connection reset by peer");
        else c.script->deliver(k.reply);
        const std::size_t before = live_bytes;
        peak_bytes = before;
        try {
            if (k.lock) c.connection.lock("a", "b", 0, "me", 1, nullptr, nullptr, 0);
            else c.connection.exec_sql(k.big_request ? big : "x", "", "");
        } catch (const std::exception&) {
        }
        c.script->sent.clear();
        EXPECT_LT(live_bytes, base + 65536u) << k.name;
        if (!k.big_request) {
            EXPECT_LT(peak_bytes - before, n + n / 2) << k.name;
        }
    }
}

// A 60 MiB ErrorReply costs a fresh page per 4 KiB for every copy of its
// text: the reply, the text taken from it, and nothing more on its way
// through the exception into the last error.
TEST(ConnectionStep, ErrorReplyTextIsCopiedOnceOnItsWayToTheLastError) {
    const std::size_t n = 1 << 20;
    auto script = std::make_shared<FakeScript>();
    quel::ClientContext context;
    context.settings.host = "127.0.0.1";
    context.env.factory = [&](const orbl::inet_address&, int, int) {
        return std::unique_ptr<orbl::IClientSocket>(std::make_unique<FakeSocket>(script));
    };
    script->deliver(frame(2, Wire().str(std::string(n, 'e'))));
    allocated_bytes = 0;
    EXPECT_FALSE(context.run_call([&] { context.ensure_connection().exec_sql("x", "", ""); }));
    EXPECT_LT(allocated_bytes, 2 * n + n / 2);
    ASSERT_TRUE(context.last_error);
    EXPECT_EQ(*context.last_error, std::string(n, 'e'));
}

// A short field list is encoded on the stack; a long one takes exactly one
// allocation, of its encoded size.
TEST(FieldListMemory, ShortListsAllocateNothing) {
    const std::string longest_short = "a:" + std::string(82, 'x');  // 84 characters
    const std::string first_long = longest_short + "x";
    std::size_t before = allocations;
    { const quel::FieldList list(longest_short); }
    EXPECT_EQ(allocations, before);
    before = allocations;
    { const quel::FieldList list(first_long); }
    EXPECT_EQ(allocations, before + 1);
}

}  // namespace
