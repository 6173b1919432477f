#pragma once
#include <cstddef>
#include <memory>
#include <string_view>

#include "components/text/serializer.h"

namespace quel {

// A field list "a:b, c:d" as a CalcAutoInc request carries it: spaces and
// full stops are removed, entries are separated by commas and hold exactly
// two non-empty parts separated by colons (empty entries and empty parts are
// skipped). The entries are kept as the request encodes them, name and value
// each a 4-byte little-endian length and its bytes, so that writing them is
// one copy. A short list needs no allocation; a longer one is checked in a
// first pass and then written into one allocation of exactly its size.
class FieldList {
public:
    // Throws client_error "invalid field list format" for a malformed list,
    // and msg_error "message data too big" for a well-formed one whose
    // entries alone are more than a message can carry.
    explicit FieldList(std::string_view field_list);
    FieldList(const FieldList&) = delete;
    FieldList& operator=(const FieldList&) = delete;

    std::size_t size() const { return count_; }
    // The entries, encoded, in order.
    std::string_view encoded() const { return {data_, used_}; }

private:
    // Lists up to this long are written straight into local_: their
    // encoding is at most 3 bytes per character plus 2.
    static constexpr std::size_t local_list_size = 84;

    std::unique_ptr<char[]> heap_;
    char* data_;
    std::size_t used_ = 0;
    std::size_t count_ = 0;
    char local_[3 * local_list_size + 2];
};

}  // namespace quel
