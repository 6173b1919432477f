#include "connection/connection.h"
#include "operations/field_list.h"
#include "protocol/requests.h"

namespace quel {

void Connection::get_auto_inc(std::string_view text1, std::string_view text2,
                              std::string_view text3, bool* no_value, unsigned int* value) {
    bool flag = true;
    unsigned int number = 0;
    exchange(
        GetAutoInc, [&](auto& out) { put_fields<GetAutoInc>(out, text1, text2, text3); },
        [&](orbl::in_serialize& reader) {
            reader >> flag;
            if (!flag) reader >> number;
        });
    // Outputs are written only once every field has been read.
    if (no_value) *no_value = flag;
    if (value) *value = number;
}

void Connection::calc_auto_inc(std::string_view text1, std::string_view text2,
                               std::string_view text3, std::string_view field_list,
                               unsigned int* value) {
    // A malformed list is refused before anything is sent.
    const FieldList entries(field_list);
    unsigned int number = 0;
    exchange(
        CalcAutoInc,
        [&](auto& out) {
            const EncodedPairs pairs{static_cast<std::uint32_t>(entries.size()), entries.encoded()};
            put_fields<CalcAutoInc>(out, text1, text2, text3, pairs);
        },
        [&](orbl::in_serialize& reader) { reader >> number; });
    if (value) *value = number;
}

}  // namespace quel
