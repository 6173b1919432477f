#include "protocol/message.h"

#include <cstring>

#include "protocol/errors.h"

namespace quel {

namespace {

// A header before its type and size are set: magic, version, zeros.
constexpr char blank_header[MessageHeaderSize] = {'Q', 'U', 'E', 'L', 'M', 'A', 'R', '2',
                                                  '1', '0', '0', '1'};
constexpr std::size_t magic_size = 8;
constexpr std::size_t version_offset = 8;
constexpr std::size_t version_size = 4;
constexpr std::size_t type_offset = 20;
constexpr std::size_t size_offset = 24;

}  // namespace

std::uint32_t check_header(const char* data, std::size_t size) {
    if (size < MessageHeaderSize) throw msg_error(frame_text::no_header);
    if (std::memcmp(data, blank_header, magic_size) != 0) throw msg_error(frame_text::no_magic);
    if (std::memcmp(data + version_offset, blank_header + version_offset, version_size) != 0)
        throw msg_error(frame_text::version_mismatch);
    int type = static_cast<signed char>(data[type_offset]);
    if (type < Reply || type > Lock) throw msg_error(frame_text::invalid_type);
    std::uint32_t data_size = get_u32(data + size_offset);
    if (data_size > MaxMessageDataSize) throw msg_error(frame_text::too_big);
    return data_size;
}

int Message::get_type() const {
    const auto& buffer = packet_.get_data();
    if (buffer.size() < MessageHeaderSize) return 0;
    return static_cast<signed char>(buffer[type_offset]);
}

std::vector<char>::const_iterator Message::data_begin() const {
    const auto& buffer = packet_.get_data();
    if (buffer.size() < MessageHeaderSize) return buffer.end();
    return buffer.begin() + MessageHeaderSize;
}

std::vector<char>::const_iterator Message::data_end() const {
    return packet_.get_data().end();
}

void Message::write_header(int type) {
    auto& buffer = packet_.modify_data();
    buffer.assign(blank_header, blank_header + MessageHeaderSize);
    buffer[type_offset] = static_cast<char>(type & 0xFF);
}

void Message::begin(MessageType type, std::uint64_t data_size) {
    // Refused before the buffer is allocated, so a host's oversized text
    // costs nothing beyond itself.
    if (data_size > MaxMessageDataSize) throw msg_error(frame_text::too_big);
    auto& buffer = packet_.modify_data();
    // Only room added to the buffer is cleared: a call that sends a request
    // of the same size as the last one writes over it and clears nothing.
    buffer.resize(MessageHeaderSize + static_cast<std::size_t>(data_size));
    std::memcpy(buffer.data(), blank_header, MessageHeaderSize);
    buffer[type_offset] = static_cast<char>(type & 0xFF);
    put_u32(buffer.data() + size_offset, static_cast<std::uint32_t>(data_size));
}

void Message::trim(std::size_t bytes) {
    auto& buffer = packet_.modify_data();
    if (buffer.capacity() > bytes) std::vector<char>().swap(buffer);
}

void Message::set_data(const orbl::serialize_base& writer) {
    auto& buffer = packet_.modify_data();
    // The frame cannot carry more, and no server accepts it: refuse before
    // anything is copied or sent, so the connection stays in step.
    if (writer.size() > MaxMessageDataSize - (buffer.size() - MessageHeaderSize))
        throw msg_error(frame_text::too_big);
    writer.append_to(buffer);
    put_u32(buffer.data() + size_offset, static_cast<std::uint32_t>(buffer.size() - MessageHeaderSize));
}

bool Message::send(orbl::IClientSocket& socket) {
    if (!socket.send_packet(packet_)) throw msg_error(frame_text::send_timeout);
    return true;
}

bool Message::receive(orbl::IClientSocket& socket) {
    if (!socket.receive_packet(packet_)) return false;
    const auto& buffer = packet_.get_data();
    std::size_t received = buffer.size();
    std::uint32_t data_size = check_header(buffer.data(), received);
    std::size_t whole = MessageHeaderSize + data_size;
    if (received < whole && !socket.receive_tail(packet_, whole - received))
        throw msg_error(frame_text::tail_timeout);
    if (packet_.size() != whole) throw msg_error(frame_text::wrong_size);
    return true;
}

std::unique_ptr<IMessage> make_message(MessageType type) {
    return std::make_unique<Message>(type);
}

std::unique_ptr<IMessage> receive_message(orbl::IClientSocket& socket) {
    auto message = std::make_unique<Message>();
    // Room for a header and a short payload: most replies need no second
    // allocation.
    message->reserve(64);
    if (!message->receive(socket)) return nullptr;
    return message;
}

}  // namespace quel
