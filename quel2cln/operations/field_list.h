#pragma once
#include <string>
#include <utility>
#include <vector>

namespace quel {

// The non-empty pieces of `text` between occurrences of `delimiter`.
std::vector<std::string> split(const std::string& text, char delimiter);

// Parses a field list "a:b, c:d": spaces and full stops are removed, entries
// are separated by commas and hold exactly two non-empty parts separated by
// colons. Throws client_error "invalid field list format" otherwise.
std::vector<std::pair<std::string, std::string>> parse_field_list(const std::string& field_list);

}  // namespace quel
