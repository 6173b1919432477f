#pragma once
// Byte-string helpers shared by qm2 and quelmar-stub: texts that cross the
// wire are raw bytes, shown as text where they are valid UTF-8 and as hex
// otherwise.

#include <string>

#include <nlohmann/json.hpp>

namespace tools {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const std::string& bytes);

// Lower-case hex, two digits per byte, no separators.
std::string to_hex(const std::string& bytes);

// Hex digits in pairs; spaces, tabs and line breaks between pairs are
// ignored. False on any other character or an odd digit count.
bool from_hex(const std::string& text, std::string& bytes);

// Output documents keep their keys in the order written.
// The bytes as a JSON string when valid UTF-8, else {"hex": "..."}.
nlohmann::ordered_json json_text(const std::string& bytes);

// The bytes for one line of "key=value" output: backslash, control bytes
// and bytes of invalid UTF-8 are written as \\, \n, \r, \t or \xHH.
std::string escape_line(const std::string& bytes);

}  // namespace tools
