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

// One pass over the list: checks it and returns the size of its entries
// encoded (counted in 64 bits, so that no list a 32-bit host can hold
// overflows it); when `Write`, also writes them to `out`. Spaces and full stops are
// dropped, empty entries and empty parts skipped. An entry of colons alone
// is not empty: it has no parts.
template <bool Write>
std::uint64_t encode(std::string_view list, char* out, std::size_t& count) {
    std::uint64_t used = 0;
    count = 0;
    bool in_entry = false;  // the current entry holds something
    int parts = 0;          // finished non-empty parts of the current entry
    const char* at = list.data();
    const char* const end = at + list.size();
    while (at < end) {
        switch (kind_of(*at)) {
            case dropped:
                ++at;
                break;
            case comma:
                ++at;
                if (!in_entry) break;
                if (parts != 2) throw client_error(invalid_field_list_text);
                ++count;
                parts = 0;
                in_entry = false;
                break;
            case colon:
                ++at;
                in_entry = true;
                break;
            case plain: {
                // A part: runs of plain characters, possibly broken by
                // dropped ones, up to the next comma or colon.
                if (parts == 2) throw client_error(invalid_field_list_text);  // a third part
                in_entry = true;
                const std::uint64_t length_at = used;
                used += 4;
                for (; at < end; ++at) {
                    const char_kind kind = kind_of(*at);
                    if (kind == plain) {
                        if (Write) out[used] = *at;
                        ++used;
                    } else if (kind != dropped) {
                        break;
                    }
                }
                if (Write) orbl::write_u32_le(out + length_at, static_cast<std::uint32_t>(used - length_at - 4));
                ++parts;
                break;
            }
        }
    }
    if (in_entry) {
        if (parts != 2) throw client_error(invalid_field_list_text);
        ++count;
    }
    return used;
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
