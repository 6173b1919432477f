#include "operations/field_list.h"

#include <cstdint>

#include "protocol/errors.h"
#include "protocol/message.h"

namespace quel {

namespace {

enum char_kind : unsigned char { plain, dropped, comma, colon };

struct kind_table {
    char_kind of[256] = {};
    constexpr kind_table() {
        of[static_cast<unsigned char>(' ')] = dropped;
        of[static_cast<unsigned char>('.')] = dropped;
        of[static_cast<unsigned char>(',')] = comma;
        of[static_cast<unsigned char>(':')] = colon;
    }
};
constexpr kind_table kinds;

char_kind kind_of(char c) { return kinds.of[static_cast<unsigned char>(c)]; }

// One pass over a list: checks it and counts the size of its entries
// encoded (in 64 bits, so that no list a 32-bit host can hold overflows it);
// when `Write`, also writes them to `out`. Spaces and full stops are dropped,
// empty entries and empty parts skipped. An entry of colons alone is not
// empty: it has no parts.
template <bool Write>
class list_encoder {
public:
    list_encoder(std::string_view list, char* out)
        : at_(list.data()), end_(list.data() + list.size()), out_(out) {}

    std::uint64_t run(std::size_t& count) {
        while (at_ < end_) step();
        if (in_entry_) end_entry();
        count = count_;
        return used_;
    }

private:
    void step() {
        switch (kind_of(*at_)) {
            case dropped: ++at_; break;
            case comma:
                ++at_;
                if (in_entry_) end_entry();
                break;
            case colon:
                ++at_;
                in_entry_ = true;
                break;
            case plain: part(); break;
        }
    }

    void end_entry() {
        if (parts_ != 2) throw client_error(invalid_field_list_text);
        ++count_;
        parts_ = 0;
        in_entry_ = false;
    }

    // A part: its length, then its plain characters up to the next comma or
    // colon (dropped ones may break it).
    void part() {
        if (parts_ == 2) throw client_error(invalid_field_list_text);  // a third part
        in_entry_ = true;
        const std::uint64_t length_at = used_;
        used_ += 4;
        copy_plain();
        if (Write) orbl::write_u32_le(out_ + length_at, static_cast<std::uint32_t>(used_ - length_at - 4));
        ++parts_;
    }

    // The loop runs on locals: stores through `out_` could otherwise alias
    // the members and force them back to memory on every character.
    void copy_plain() {
        const char* at = at_;
        const char* const end = end_;
        char* const out = out_;
        std::uint64_t used = used_;
        for (; at < end; ++at) {
            const char_kind kind = kind_of(*at);
            if (kind == plain) {
                if (Write) out[used] = *at;
                ++used;
            } else if (kind != dropped) {
                break;
            }
        }
        at_ = at;
        used_ = used;
    }

    const char* at_;
    const char* const end_;
    char* const out_;
    std::uint64_t used_ = 0;
    std::size_t count_ = 0;
    bool in_entry_ = false;  // the current entry holds something
    int parts_ = 0;          // finished non-empty parts of the current entry
};

template <bool Write>
std::uint64_t encode(std::string_view list, char* out, std::size_t& count) {
    return list_encoder<Write>(list, out).run(count);
}

}  // namespace

FieldList::FieldList(std::string_view field_list) : data_(local_) {
    if (field_list.size() <= local_list_size) {
        used_ = static_cast<std::size_t>(encode<true>(field_list, local_, count_));
        return;
    }
    // A long list is checked (and measured) before anything is allocated
    // for it: a malformed or oversized one costs nothing beyond itself.
    const std::uint64_t size = encode<false>(field_list, nullptr, count_);
    if (size > MaxMessageDataSize) throw msg_error(frame_text::too_big);
    heap_.reset(new char[size == 0 ? 1 : static_cast<std::size_t>(size)]);
    data_ = heap_.get();
    used_ = static_cast<std::size_t>(encode<true>(field_list, data_, count_));
}

}  // namespace quel
