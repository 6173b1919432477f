#include "connection/connection.h"
#include "operations/field_list.h"

namespace quel {

void Connection::get_auto_inc(const std::string& text1, const std::string& text2,
                              const std::string& text3, bool* no_value, unsigned int* value) {
    orbl::out_serialize writer;
    writer << text1 << text2 << text3;
    auto reply = exchange(GetAutoInc, writer);

    orbl::in_serialize reader(reply->data_begin(), reply->data_end());
    bool flag = true;
    unsigned int number = 0;
    reader >> flag;
    if (!flag) reader >> number;
    // Outputs are written only once every field has been read.
    if (no_value) *no_value = flag;
    if (value) *value = number;
}

void Connection::calc_auto_inc(const std::string& text1, const std::string& text2,
                               const std::string& text3, const std::string& field_list,
                               unsigned int* value) {
    // A malformed list is refused before anything is sent.
    auto entries = parse_field_list(field_list);
    orbl::out_serialize writer;
    writer << text1 << text2 << text3 << static_cast<unsigned int>(entries.size());
    for (const auto& entry : entries) writer << entry.first << entry.second;
    auto reply = exchange(CalcAutoInc, writer);

    orbl::in_serialize reader(reply->data_begin(), reply->data_end());
    unsigned int number = 0;
    reader >> number;
    if (value) *value = number;
}

}  // namespace quel
