#pragma once
// Payload encoding shared by requests and replies.
//
// int / unsigned int: 4 bytes little-endian (int in two's complement).
// bool: 1 byte, written as 0 or 1; read as false for 0, true otherwise.
// std::string: 4-byte little-endian unsigned length n, then n raw bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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
    // Appends straight to `target` (which must outlive the writer) instead
    // of a buffer of its own: a message writes its payload behind its header
    // this way, in one buffer.
    explicit out_serialize(std::vector<char>& target) : out_(&target), start_(target.size()) {}
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
    std::size_t size() const override { return out_->size() - start_; }

private:
    std::vector<char> own_;
    std::vector<char>* out_ = &own_;
    std::size_t start_ = 0;
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


// 32-bit little-endian numbers at a byte address.
void write_u32_le(char* at, std::uint32_t value);
std::uint32_t read_u32_le(const char* at);

}  // namespace orbl
