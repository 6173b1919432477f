#include "operations/field_list.h"

#include <algorithm>
#include <iterator>

#include "protocol/errors.h"

namespace quel {

namespace {

// Calls visit(piece) for each non-empty piece of `text` between occurrences
// of `delimiter`.
template <typename Visit>
void for_each_piece(std::string_view text, char delimiter, const Visit& visit) {
    std::size_t pos = 0;
    for (;;) {
        std::size_t found = text.find(delimiter, pos);
        std::size_t end = found == std::string_view::npos ? text.size() : found;
        if (end > pos) visit(text.substr(pos, end - pos));
        if (found == std::string_view::npos) return;
        pos = found + 1;
    }
}

// The parts of one entry: true when there are exactly two, set in `name`
// and `value`.
bool split_entry(std::string_view entry, std::string_view& name, std::string_view& value) {
    int parts = 0;
    for_each_piece(entry, ':', [&](std::string_view part) {
        if (parts == 0) name = part;
        if (parts == 1) value = part;
        ++parts;
    });
    return parts == 2;
}

}  // namespace

FieldList::FieldList(std::string_view field_list) {
    text_.reserve(field_list.size());
    std::copy_if(field_list.begin(), field_list.end(), std::back_inserter(text_),
                 [](char c) { return c != ' ' && c != '.'; });
    for_each_piece(text_, ',', [&](std::string_view entry) {
        std::string_view name, value;
        if (!split_entry(entry, name, value)) throw client_error(invalid_field_list_text);
        ++count_;
    });
}

void FieldList::for_each(const std::function<void(std::string_view, std::string_view)>& visit) const {
    for_each_piece(text_, ',', [&](std::string_view entry) {
        std::string_view name, value;
        split_entry(entry, name, value);
        visit(name, value);
    });
}

}  // namespace quel
