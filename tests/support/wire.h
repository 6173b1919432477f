#pragma once
// Payload bytes written out by hand, independently of the library's
// serializer, so that tests pin the encoding itself: 4-byte little-endian
// integers, 1-byte booleans, strings as a 4-byte little-endian length and the
// raw bytes.

#include <cstdint>
#include <string>

namespace qtest {

class Wire {
public:
    Wire& u32(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes_.push_back(static_cast<char>((value >> shift) & 0xFF));
        return *this;
    }
    Wire& i32(std::int32_t value) { return u32(static_cast<std::uint32_t>(value)); }
    Wire& byte(unsigned char value) {
        bytes_.push_back(static_cast<char>(value));
        return *this;
    }
    Wire& flag(bool value) { return byte(value ? 1 : 0); }
    Wire& str(const std::string& text) {
        u32(static_cast<std::uint32_t>(text.size()));
        bytes_ += text;
        return *this;
    }
    Wire& raw(const std::string& bytes) {
        bytes_ += bytes;
        return *this;
    }

    operator std::string() const { return bytes_; }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

}  // namespace qtest
