// The default narrow encoding on POSIX is UTF-8.
#include "components/text/text.h"

namespace orbl {

bool char_to_wide(const std::string& text, std::wstring& out, const text_encoding&) {
    out = utf8_to_wide(text);
    return true;
}

bool legacy_text_to_utf8(const secret_string&, secret_string& text) {
    text.clear();
    return false;
}

}  // namespace orbl
