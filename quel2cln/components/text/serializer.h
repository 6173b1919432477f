#pragma once
// Payload encoding shared by requests and replies.
//
// int / unsigned int: 4 bytes little-endian (int in two's complement).
// bool: 1 byte, written as 0 or 1; read as false for 0, true otherwise.
// std::string: 4-byte little-endian unsigned length n, then n raw bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace orbl {

// The serializer's own failures. The frame reports them to the host in the
// same words (protocol/errors.h refers to these).
namespace serializer_text {
inline constexpr char too_big[] = "message data too big";
inline constexpr char truncated[] = "message data truncated";
}  // namespace serializer_text

// Something that can append its collected bytes to a buffer.
class serialize_base {
public:
    virtual ~serialize_base() = default;
    // Appends every byte written so far at the end of `buffer`; bytes already
    // in `buffer` stay untouched.
    virtual void append_to(std::vector<char>& buffer) const = 0;
    // Number of bytes append_to would add.
    virtual std::size_t size() const = 0;
};

class out_serialize : public serialize_base {
public:
    out_serialize() = default;
    out_serialize(const out_serialize&) = delete;
    out_serialize& operator=(const out_serialize&) = delete;

    // A string longer than 4 GiB - 1 cannot carry its length: throws
    // std::length_error "message data too big".
    out_serialize& operator<<(std::string_view value);
    out_serialize& operator<<(unsigned int value);
    out_serialize& operator<<(int value);
    out_serialize& operator<<(bool value);
    // A literal would otherwise be written as a bool.
    out_serialize& operator<<(const char* value) { return *this << std::string_view(value); }

    void append_to(std::vector<char>& buffer) const override;
    std::size_t size() const override { return out_.size(); }

private:
    std::vector<char> out_;
};

// 32-bit little-endian numbers at a byte address.
inline void write_u32_le(char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
inline std::uint32_t read_u32_le(const char* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(at[i]);
    return value;
}

// The one encoding of a text: its length as 4 bytes little-endian, then its
// bytes. put_text writes it at `at`, which has room for 4 + size bytes, and
// returns the end of what it wrote.
inline char* put_text(char* at, std::string_view text) {
    write_u32_le(at, static_cast<std::uint32_t>(text.size()));
    if (!text.empty()) std::memcpy(at + 4, text.data(), text.size());
    return at + 4 + text.size();
}
// Reads one encoded text from [at, end) without a copy and moves `at` past
// it; false, with `at` unchanged, when it does not fit in the range.
inline bool take_text(const char*& at, const char* end, std::string_view& text) {
    const std::size_t left = static_cast<std::size_t>(end - at);
    if (left < 4) return false;
    const std::uint32_t size = read_u32_le(at);
    if (left - 4 < size) return false;
    text = std::string_view(at + 4, size);
    at += 4 + std::size_t{size};
    return true;
}

// Writes the same encoding into room sized for it beforehand (with
// size_serialize): a request's payload, straight behind its header, with no
// growth and no copy of its own. Running out of room throws
// std::length_error "message data too big".
class fixed_serialize {
public:
    fixed_serialize(char* begin, char* end) : at_(begin), end_(end) {}
    fixed_serialize(const fixed_serialize&) = delete;
    fixed_serialize& operator=(const fixed_serialize&) = delete;

    fixed_serialize& operator<<(std::string_view value) {
        if (value.size() > 0xFFFFFFFFu) too_big();
        put_text(room(4 + value.size()), value);
        return *this;
    }
    fixed_serialize& operator<<(unsigned int value) {
        write_u32_le(room(4), value);
        return *this;
    }
    fixed_serialize& operator<<(int value) { return *this << static_cast<unsigned int>(value); }
    fixed_serialize& operator<<(bool value) {
        *room(1) = value ? 1 : 0;
        return *this;
    }
    fixed_serialize& operator<<(const char* value) { return *this << std::string_view(value); }
    // Bytes already in this encoding, written as they are.
    fixed_serialize& write_encoded(std::string_view bytes) {
        if (!bytes.empty()) std::memcpy(room(bytes.size()), bytes.data(), bytes.size());
        return *this;
    }

    // Room not written yet.
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - at_); }
    // Fills the room not written yet with zeros.
    void clear_rest() {
        if (at_ != end_) std::memset(at_, 0, remaining());
        at_ = end_;
    }

private:
    char* room(std::size_t count) {
        if (count > remaining()) too_big();
        char* at = at_;
        at_ += count;
        return at;
    }
    [[noreturn]] static void too_big();

    char* at_;
    char* end_;
};

// The number of bytes out_serialize writes for the same values, counted
// without copying anything, so that a payload can be sized (and refused)
// before it is built. 64 bits: no sum of host texts can overflow it.
class size_serialize {
public:
    size_serialize& operator<<(std::string_view value) { return add(4 + std::uint64_t{value.size()}); }
    size_serialize& operator<<(unsigned int) { return add(4); }
    size_serialize& operator<<(int) { return add(4); }
    size_serialize& operator<<(bool) { return add(1); }
    size_serialize& operator<<(const char* value) { return *this << std::string_view(value); }
    size_serialize& write_encoded(std::string_view bytes) { return add(bytes.size()); }

    std::uint64_t size() const { return bytes_; }

private:
    size_serialize& add(std::uint64_t count) {
        bytes_ += count;
        return *this;
    }
    std::uint64_t bytes_ = 0;
};

// Reads values back in the order they were written. Refers to the bytes
// without copying: the range must outlive the reader. Never reads outside
// the range; a value cut short throws std::runtime_error
// "message data truncated" before anything is allocated for it.
class in_serialize {
public:
    using iterator = std::vector<char>::const_iterator;

    in_serialize(iterator begin, iterator end);

    const in_serialize& operator>>(bool& value) const;
    const in_serialize& operator>>(unsigned int& value) const;
    const in_serialize& operator>>(int& value) const;
    const in_serialize& operator>>(std::string& value) const;

    // Bytes not read yet.
    std::size_t remaining() const;

private:
    const char* take(std::size_t count) const;

    const char* pos_;
    const char* end_;
    mutable std::size_t offset_ = 0;
};


}  // namespace orbl
