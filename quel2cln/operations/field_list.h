#pragma once
#include <cstddef>
#include <functional>
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
    void for_each(const std::function<void(std::string_view, std::string_view)>& visit) const;

private:
    std::string text_;
    std::size_t count_ = 0;
};

}  // namespace quel
