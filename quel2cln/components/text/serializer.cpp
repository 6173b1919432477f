#include "components/text/serializer.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace orbl {

void fixed_serialize::too_big() {
    throw std::length_error(serializer_text::too_big);
}

namespace {

void put_u32(std::vector<char>& out, std::uint32_t value) {
    char bytes[4];
    write_u32_le(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

}  // namespace

out_serialize& out_serialize::operator<<(std::string_view value) {
    if (value.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error(serializer_text::too_big);
    const std::size_t at = out_.size();
    out_.resize(at + 4 + value.size());
    put_text(out_.data() + at, value);
    return *this;
}

out_serialize& out_serialize::operator<<(unsigned int value) {
    put_u32(out_, value);
    return *this;
}

out_serialize& out_serialize::operator<<(int value) {
    put_u32(out_, static_cast<std::uint32_t>(value));
    return *this;
}

out_serialize& out_serialize::operator<<(bool value) {
    out_.push_back(value ? 1 : 0);
    return *this;
}

void out_serialize::append_to(std::vector<char>& buffer) const {
    buffer.insert(buffer.end(), out_.begin(), out_.end());
}

in_serialize::in_serialize(iterator begin, iterator end)
    : pos_(begin == end ? nullptr : &*begin), end_(pos_ ? pos_ + (end - begin) : nullptr) {}

std::size_t in_serialize::remaining() const {
    return static_cast<std::size_t>(end_ - pos_) - offset_;
}

const char* in_serialize::take(std::size_t count) const {
    if (count > remaining()) throw std::runtime_error(serializer_text::truncated);
    const char* at = pos_ + offset_;
    offset_ += count;
    return at;
}

const in_serialize& in_serialize::operator>>(bool& value) const {
    value = *take(1) != 0;
    return *this;
}

const in_serialize& in_serialize::operator>>(unsigned int& value) const {
    value = read_u32_le(take(4));
    return *this;
}

const in_serialize& in_serialize::operator>>(int& value) const {
    value = static_cast<int>(read_u32_le(take(4)));
    return *this;
}

const in_serialize& in_serialize::operator>>(std::string& value) const {
    const char* at = pos_ + offset_;
    std::string_view text;
    if (!take_text(at, end_, text)) throw std::runtime_error(serializer_text::truncated);
    offset_ = static_cast<std::size_t>(at - pos_);
    value.assign(text.data(), text.size());
    return *this;
}

}  // namespace orbl
