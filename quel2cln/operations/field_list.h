#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace quel {

// A field list "a:b, c:d" as a CalcAutoInc request carries it: spaces and
// full stops are removed, entries are separated by commas and hold exactly
// two non-empty parts separated by colons (empty entries and empty parts are
// skipped). The entries are read in place from one compacted copy of the
// list, so a list of any length costs one allocation.
class FieldList {
public:
    // Throws client_error "invalid field list format" for a malformed list.
    explicit FieldList(std::string_view field_list);

    std::size_t size() const { return count_; }
    // Calls visit(name, value) for each entry, in order.
    template <typename Visit>
    void for_each(const Visit& visit) const;

private:
    std::string text_;
    std::size_t count_ = 0;
};

// The normal form has exactly one colon in each entry.
template <typename Visit>
void FieldList::for_each(const Visit& visit) const {
    const char* at = text_.data();
    const char* end = at + text_.size();
    while (at < end) {
        const char* colon = at;
        while (*colon != ':') ++colon;
        const char* comma = colon;
        while (comma < end && *comma != ',') ++comma;
        visit(std::string_view(at, static_cast<std::size_t>(colon - at)),
              std::string_view(colon + 1, static_cast<std::size_t>(comma - colon - 1)));
        at = comma == end ? end : comma + 1;
    }
}

}  // namespace quel
