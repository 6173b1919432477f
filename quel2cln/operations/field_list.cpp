#include "operations/field_list.h"

#include "protocol/errors.h"

namespace quel {

FieldList::FieldList(std::string_view field_list) {
    // One pass that keeps the list in a normal form, "name:value,name:value":
    // spaces and full stops dropped, empty entries and empty parts skipped.
    // An entry of colons alone is not empty: it has no parts.
    text_.resize(field_list.size());  // the normal form is never longer
    char* out = text_.data();
    bool in_entry = false;  // the current entry holds something
    int parts = 0;          // finished non-empty parts of the current entry
    bool in_part = false;   // inside a non-empty part
    auto end_part = [&] {
        if (in_part) ++parts;
        in_part = false;
    };
    auto end_entry = [&] {
        end_part();
        if (!in_entry) return;
        if (parts != 2) throw client_error(invalid_field_list_text);
        ++count_;
        parts = 0;
        in_entry = false;
    };
    for (char c : field_list) {
        if (c == ' ' || c == '.') continue;
        if (c == ',') {
            end_entry();
        } else if (c == ':') {
            end_part();
            in_entry = true;
        } else {
            in_entry = true;
            if (!in_part) {
                if (parts == 2) throw client_error(invalid_field_list_text);  // a third part
                if (parts == 1) *out++ = ':';
                else if (count_ > 0) *out++ = ',';
                in_part = true;
            }
            *out++ = c;
        }
    }
    end_entry();
    text_.resize(static_cast<std::size_t>(out - text_.data()));
}

}  // namespace quel
