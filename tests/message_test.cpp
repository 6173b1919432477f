#include "protocol/message.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/errors.h"
#include "support/fake_socket.h"
#include "support/wire.h"

namespace {

using qtest::FakeScript;
using qtest::FakeSocket;
using qtest::Wire;

// A header written out by hand, independently of the frame code.
std::string hdr(int type, std::uint32_t data_size, const std::string& magic = "QUELMAR2",
                const std::string& version = "1001") {
    return Wire()
        .raw(magic)
        .raw(version)
        .raw(std::string(8, '\0'))
        .byte(static_cast<unsigned char>(type))
        .raw(std::string(3, '\0'))
        .u32(data_size)
        .raw(std::string(4, '\0'));
}

// A writer that claims `count` bytes, for payloads at the size bound.
class SizedWriter : public orbl::serialize_base {
public:
    explicit SizedWriter(std::size_t count) : count_(count) {}
    void append_to(std::vector<char>& buffer) const override {
        buffer.insert(buffer.end(), count_, 'x');
    }
    std::size_t size() const override { return count_; }

private:
    std::size_t count_;
};

std::string as_string(const std::vector<char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(MessageBuild, EmptyWriterKeepsDataSizeZero) {
    auto message = quel::make_message(quel::SaveResult);
    message->set_data(orbl::out_serialize());
    auto script = std::make_shared<FakeScript>();
    FakeSocket socket(script);
    message->send(socket);
    ASSERT_EQ(script->sent.size(), 1u);
    EXPECT_EQ(script->sent[0], hdr(quel::SaveResult, 0));
}

TEST(MessageBuild, PayloadAboveTheBoundIsRefusedBeforeSending) {
    quel::Message at_bound(quel::ExecSQL);
    at_bound.set_data(SizedWriter(quel::MaxMessageDataSize));
    EXPECT_EQ(at_bound.bytes().size(), 32u + quel::MaxMessageDataSize);

    quel::Message above(quel::ExecSQL);
    try {
        above.set_data(SizedWriter(quel::MaxMessageDataSize + 1u));
        FAIL() << "no error for a payload above the bound";
    } catch (const quel::msg_error& error) {
        EXPECT_STREQ(error.what(), "message data too big");
    }
    EXPECT_EQ(as_string(above.bytes()), hdr(quel::ExecSQL, 0));
}

TEST(MessageBuild, FailedSendIsAFrameError) {
    auto script = std::make_shared<FakeScript>();
    FakeSocket socket(script);
    auto message = quel::make_message(quel::Lock);

    script->send_result = false;
    try {
        message->send(socket);
        FAIL() << "send reported success";
    } catch (const quel::msg_error& error) {
        EXPECT_STREQ(error.what(), "send message timeout");
    }

    script->send_throws = true;
    try {
        message->send(socket);
        FAIL() << "socket error swallowed";
    } catch (const orbl::socket_error& error) {
        EXPECT_EQ(error.code(), 10054);
    }
}

TEST(MessageBuild, ShortBufferHasTypeZeroAndNoPayload) {
    quel::Message empty;
    EXPECT_EQ(empty.get_type(), 0);
    EXPECT_EQ(empty.data_begin(), empty.data_end());
}

// One receive: what the socket delivers first, what receive_tail can hand
// out, and the outcome.
struct ReceiveCase {
    const char* name;
    std::string first;
    std::string tail;
    const char* error;  // nullptr: a valid message
    std::vector<std::size_t> tail_requests;
};

void PrintTo(const ReceiveCase& c, std::ostream* out) { *out << c.name; }

class MessageReceive : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(MessageReceive, ValidatesInTheFixedOrder) {
    const ReceiveCase& c = GetParam();
    auto script = std::make_shared<FakeScript>();
    script->deliver(c.first);
    script->tail = c.tail;
    FakeSocket socket(script);
    quel::Message message;
    try {
        EXPECT_TRUE(message.receive(socket));
        EXPECT_EQ(c.error, nullptr) << "accepted";
    } catch (const quel::msg_error& error) {
        ASSERT_NE(c.error, nullptr) << "refused with " << error.what();
        EXPECT_STREQ(error.what(), c.error);
    }
    EXPECT_EQ(script->tail_requests, c.tail_requests);
}

const std::uint32_t max_size = 62914560;

INSTANTIATE_TEST_SUITE_P(
    Frame, MessageReceive,
    ::testing::Values(
        ReceiveCase{"bare_reply", hdr(1, 0), "", nullptr, {}},
        ReceiveCase{"whole_payload_at_once", hdr(1, 3) + "abc", "", nullptr, {}},
        ReceiveCase{"payload_in_tail", hdr(2, 5) + "ab", "cdeXX", nullptr, {3}},
        ReceiveCase{"header_only_then_tail", hdr(1, 4), "wxyz", nullptr, {4}},
        ReceiveCase{"request_type_passes_frame", hdr(7, 0), "", nullptr, {}},
        ReceiveCase{"reserved_bytes_ignored",
                    Wire().raw("QUELMAR21001").raw("\x01\x02\x03\x04\x05\x06\x07\x08")
                        .byte(1).raw("\x09\x0a\x0b").u32(0).raw("\xff\xfe\xfd\xfc"),
                    "", nullptr, {}},
        ReceiveCase{"31_bytes", hdr(1, 0).substr(0, 31), std::string(1, '\0'),
                    "no message header", {}},
        ReceiveCase{"empty_delivery", "", "", "no message header", {}},
        ReceiveCase{"magic_checked_before_version", hdr(1, 0, "QUELMAR3", "1002"), "",
                    "no message magic", {}},
        ReceiveCase{"magic_lower_case", hdr(1, 0, "quelmar2"), "", "no message magic", {}},
        ReceiveCase{"version", hdr(1, 0, "QUELMAR2", "1000"), "", "message version mismatch",
                    {}},
        ReceiveCase{"type_0", hdr(0, 0), "", "invalid message type", {}},
        ReceiveCase{"type_8", hdr(8, 0), "", "invalid message type", {}},
        ReceiveCase{"type_127", hdr(127, 0), "", "invalid message type", {}},
        ReceiveCase{"type_200_negative", hdr(200, 0), "", "invalid message type", {}},
        ReceiveCase{"type_checked_before_size", hdr(0, 0xFFFFFFFFu), "",
                    "invalid message type", {}},
        ReceiveCase{"size_at_bound_accepted", hdr(1, max_size), "", "message tail timeout exceed",
                    {max_size}},
        ReceiveCase{"size_above_bound_no_tail_read", hdr(1, max_size + 1), "",
                    "message data too big", {}},
        ReceiveCase{"size_max_u32", hdr(1, 0xFFFFFFFFu), "", "message data too big", {}},
        ReceiveCase{"tail_short", hdr(1, 10) + "12345", "1234", "message tail timeout exceed",
                    {5}},
        ReceiveCase{"more_than_one_message", hdr(1, 2) + "ab" + hdr(1, 0), "",
                    "wrong data size in message header", {}},
        ReceiveCase{"trailing_byte", hdr(1, 0) + "x", "", "wrong data size in message header",
                    {}}),
    [](const ::testing::TestParamInfo<ReceiveCase>& info) { return info.param.name; });

TEST(MessageReceive, ReceivedPayloadIsTheDataRange) {
    auto script = std::make_shared<FakeScript>();
    script->deliver(hdr(1, 6) + "pay");
    script->tail = "load";
    FakeSocket socket(script);
    auto message = quel::receive_message(socket);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->get_type(), quel::Reply);
    EXPECT_EQ(std::string(message->data_begin(), message->data_end()), "payloa");
    EXPECT_EQ(script->tail, "d");  // nothing read beyond the message
}

TEST(MessageReceive, NothingArrivedIsNoMessageAndNoError) {
    auto script = std::make_shared<FakeScript>();
    script->deliver_nothing();
    FakeSocket socket(script);
    EXPECT_EQ(quel::receive_message(socket), nullptr);
}

TEST(MessageReceive, SocketErrorsPassThrough) {
    auto script = std::make_shared<FakeScript>();
    script->fail(10053, "connection aborted");
    FakeSocket socket(script);
    try {
        quel::receive_message(socket);
        FAIL() << "no error";
    } catch (const orbl::socket_error& error) {
        EXPECT_EQ(error.code(), 10053);
        EXPECT_STREQ(error.what(), "connection aborted");
    }
}

TEST(CheckHeader, ReturnsDataSizeOfAValidHeader) {
    std::string bytes = hdr(2, 123456);
    EXPECT_EQ(quel::check_header(bytes.data(), bytes.size()), 123456u);
    std::string short_header = hdr(2, 1).substr(0, 20);
    EXPECT_THROW(quel::check_header(short_header.data(), short_header.size()), quel::msg_error);
}

}  // namespace
