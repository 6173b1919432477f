#pragma once
// A request as the stub understands it: its type and its decoded fields,
// named as the rules file and the journal name them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "components/text/serializer.h"

namespace stub {

struct field {
    enum class kind { text, integer, pairs };

    kind what = kind::text;
    // kind::text: the raw bytes. kind::pairs: the pairs as on the wire, each
    // text a 4-byte little-endian length and its bytes, so a list costs its
    // wire size and not a string object per text.
    std::string text;
    std::int64_t number = 0;  // kind::integer
    std::size_t pair_count = 0;

    void add_pair(std::string_view first, std::string_view second);
    // Calls visit(first, second) for every pair, in order.
    template <class Visit>
    void for_each_pair(Visit visit) const {
        std::size_t at = 0;
        for (std::size_t i = 0; i < pair_count; ++i) {
            const std::string_view first = next_text(at);
            const std::string_view second = next_text(at);
            visit(first, second);
        }
    }

    // The text a rule matches against: the bytes, the number in decimal, or
    // the pairs as "a:b,c:d" (never longer than the pairs' wire form).
    std::string match_text() const;

private:
    // The pairs were checked when they were decoded.
    std::string_view next_text(std::size_t& at) const {
        const char* from = text.data() + at;
        std::string_view out;
        orbl::take_text(from, text.data() + text.size(), out);
        at = static_cast<std::size_t>(from - text.data());
        return out;
    }
};

struct request {
    int type = 0;
    std::vector<std::pair<std::string, field>> fields;  // in wire order

    const field* find(const std::string& name) const;
};

// Name of a message type ("ExecSQL", ...), or "type N" for others.
std::string type_name(int type);
// The type of a request name, or 0.
int type_from_name(const std::string& name);
bool is_request_type(int type);

// What a field of a request type holds, for checking rules before use.
// Returns false when `type` has no field `name`.
bool field_kind(int type, const std::string& name, field::kind& kind);
// The names of the fields of `type`, for error texts.
std::string field_names(int type);

// Decodes the payload of a request of `type` (3 to 7). A payload that ends
// before a complete field throws std::runtime_error "message data
// truncated", a lock mode other than -1, 0 and 1 "invalid lock mode". Bytes
// after the last field are ignored, as the library does.
request decode_request(int type, std::vector<char>::const_iterator begin,
                       std::vector<char>::const_iterator end);

}  // namespace stub
