#pragma once
// Payload encoding shared by requests and replies.
//
// int / unsigned int: 4 bytes little-endian (int in two's complement).
// bool: 1 byte, written as 0 or 1; read as false for 0, true otherwise.
// std::string: 4-byte little-endian unsigned length n, then n raw bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orbl {

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

    // A string longer than 4 GiB - 1 cannot carry its length: throws
    // std::length_error "message data too big".
    out_serialize& operator<<(const std::string& value);
    out_serialize& operator<<(unsigned int value);
    out_serialize& operator<<(int value);
    out_serialize& operator<<(bool value);

    void append_to(std::vector<char>& buffer) const override;
    std::size_t size() const override { return bytes_.size(); }

private:
    std::vector<char> bytes_;
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


// 32-bit little-endian numbers at a byte address.
void write_u32_le(char* at, std::uint32_t value);
std::uint32_t read_u32_le(const char* at);

}  // namespace orbl
