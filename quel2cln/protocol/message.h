#pragma once
// The message frame: a 32-byte header and a payload of `data_size` bytes.
//
//  0  8  magic "QUELMAR2"        20 1 type (signed)
//  8  4  version "1001"          21 3 reserved (zero)
// 12  8  reserved (zero)         24 4 data_size, unsigned little-endian
//                                28 4 reserved (zero)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "components/text/serializer.h"
#include "components/net/socket.h"

namespace quel {

enum MessageType : int {
    Reply = 1,
    ErrorReply = 2,
    ExecSQL = 3,
    GetAutoInc = 4,
    CalcAutoInc = 5,
    SaveResult = 6,
    Lock = 7,
};

constexpr std::size_t MessageHeaderSize = orbl::packet_header_size;
constexpr std::uint32_t MaxMessageDataSize = 62914560;  // 60 MiB

class IMessage {
public:
    virtual ~IMessage() = default;
    // Type byte, sign-extended; 0 for a buffer shorter than a header.
    virtual int get_type() const = 0;
    virtual std::vector<char>::const_iterator data_begin() const = 0;
    virtual std::vector<char>::const_iterator data_end() const = 0;
    // Appends the writer's bytes behind the header and sets data_size.
    // A payload above MaxMessageDataSize throws msg_error "message data too
    // big" and leaves the message unchanged.
    virtual void set_data(const orbl::serialize_base& writer) = 0;
    // Sends the whole message; true, or throws.
    virtual bool send(orbl::IClientSocket& socket) = 0;
};

class Message : public IMessage {
public:
    Message() = default;
    explicit Message(MessageType type) { write_header(type); }
    // A request of exactly `data_size` payload bytes behind its header (its
    // data_size set), to be written in place through payload_begin() and
    // payload_end(). A size above MaxMessageDataSize throws msg_error
    // "message data too big" before anything is allocated for it.
    Message(MessageType type, std::uint64_t data_size) { begin(type, data_size); }

    // Starts this message afresh as such a request, in the buffer it already
    // has when that is large enough: a connection reuses its messages, so a
    // small call allocates nothing. Refuses an oversized one the same way.
    // The payload is not cleared: the caller writes every byte of it.
    void begin(MessageType type, std::uint64_t data_size);
    char* payload_begin() { return packet_.modify_data().data() + MessageHeaderSize; }
    char* payload_end() { return packet_.modify_data().data() + packet_.size(); }
    // Empties the message for the next receive; the buffer stays.
    void clear() { packet_.modify_data().clear(); }
    // Gives the buffer back to the system when it holds more than `bytes`,
    // so that one large message is not kept between calls.
    void trim(std::size_t bytes);

    int get_type() const override;
    std::vector<char>::const_iterator data_begin() const override;
    std::vector<char>::const_iterator data_end() const override;
    void set_data(const orbl::serialize_base& writer) override;
    bool send(orbl::IClientSocket& socket) override;

    void write_header(int type);
    void reserve(std::size_t bytes) { packet_.modify_data().reserve(bytes); }
    // Receives and validates one message into this empty message. False when
    // nothing arrived; frame faults throw msg_error.
    bool receive(orbl::IClientSocket& socket);

    const std::vector<char>& bytes() const { return packet_.get_data(); }

private:
    orbl::socket_packet packet_;
};

std::unique_ptr<IMessage> make_message(MessageType type);
// The next complete, validated message, or null when nothing arrived.
std::unique_ptr<IMessage> receive_message(orbl::IClientSocket& socket);

// Checks a received header (at least `size` bytes from `data`) in the fixed
// order and returns its data_size; throws msg_error with the first failing
// check's text.
std::uint32_t check_header(const char* data, std::size_t size);

// Little-endian helpers shared by the frame and the serializer's users.
inline void put_u32(char* at, std::uint32_t value) { orbl::write_u32_le(at, value); }
inline std::uint32_t get_u32(const char* at) { return orbl::read_u32_le(at); }

}  // namespace quel
