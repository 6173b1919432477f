#pragma once
// Text conversion between narrow and wide strings.

#include <string>

namespace orbl {

// A zero-initialised encoding means the platform's default narrow encoding
// (UTF-8 on POSIX, the ANSI code page on Windows).
struct text_encoding {
    unsigned int code_page = 0;
};

bool char_to_wide(const std::string& text, std::wstring& out, const text_encoding& encoding);

// UTF-8 on every platform; invalid sequences become U+FFFD.
std::wstring utf8_to_wide(const std::string& text);
std::string wide_to_utf8(const std::wstring& text);

}  // namespace orbl
