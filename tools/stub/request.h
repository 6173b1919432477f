#pragma once
// A request as the stub understands it: its type and its decoded fields,
// named as the rules file and the journal name them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace stub {

struct field {
    enum class kind { text, integer, pairs };

    kind what = kind::text;
    std::string text;                                        // kind::text: raw bytes
    std::int64_t number = 0;                                 // kind::integer
    std::vector<std::pair<std::string, std::string>> pairs;  // kind::pairs

    // The text a rule matches against: the bytes, the number in decimal, or
    // the pairs as "a:b,c:d".
    std::string match_text() const;
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
// truncated". Bytes after the last field are ignored, as the library does.
request decode_request(int type, std::vector<char>::const_iterator begin,
                       std::vector<char>::const_iterator end);

// The journal's view of the fields: texts as JSON text or {"hex": ...},
// numbers as numbers, pairs as [[first, second], ...].
void add_fields(const request& req, nlohmann::ordered_json& out);

}  // namespace stub
