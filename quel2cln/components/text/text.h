#pragma once
// Room text/: bytes and texts.
//   text.h, text.cpp, text_posix.cpp, text_win32.cpp  conversions between
//                    narrow and wide strings, settings file decoding
//   serializer.h, serializer.cpp  the payload encoding (4-byte lengths,
//                    texts, numbers), writers and reader
//   secret.h         strings that are wiped before their memory is freed,
//                    and the holder that wipes one when it goes
//
// Text conversion between narrow and wide strings.

#include <string>
#include <string_view>

#include "components/text/secret.h"

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

// The same for secrets: no unwiped copy is left behind.
secret_wstring secret_utf8_to_wide(std::string_view text);
secret_string secret_wide_to_utf8(const secret_wstring& text);

// The text of a file as UTF-8: a UTF-16LE or UTF-16BE file (with its
// byte-order mark, as Windows tools write them) is converted, a UTF-8 BOM
// is dropped, valid UTF-8 is taken as it is. Anything else goes to
// legacy_text_to_utf8; false when that cannot read it either.
bool text_file_to_utf8(const secret_string& bytes, secret_string& text);

// A file without a byte-order mark that is not UTF-8, as UTF-8: on Windows
// it is read in the ANSI code page (what the system's profile functions
// and older editors do); on POSIX there is no such encoding, so false.
bool legacy_text_to_utf8(const secret_string& bytes, secret_string& text);

}  // namespace orbl
