#include "components/text/text.h"

#include <cstdint>

namespace orbl {

namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`; invalid or overlong sequences and
// surrogates give U+FFFD and consume one byte.
char32_t decode(std::string_view text, std::size_t& pos) {
    unsigned char lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) return lead;
    int extra;
    char32_t code;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) { extra = 1; code = lead & 0x1F; minimum = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { extra = 2; code = lead & 0x0F; minimum = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { extra = 3; code = lead & 0x07; minimum = 0x10000; }
    else return replacement;
    if (pos + extra > text.size()) return replacement;
    for (int i = 0; i < extra; ++i) {
        unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) return replacement;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return replacement;
    pos += extra;
    return code;
}

template <typename Wide>
void append_wide(Wide& out, char32_t code) {
    if (sizeof(wchar_t) == 2 && code >= 0x10000) {
        code -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (code >> 10));
        out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    } else {
        out += static_cast<wchar_t>(code);
    }
}

template <typename Narrow>
void append_utf8(Narrow& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

template <typename Wide>
Wide to_wide(std::string_view text) {
    Wide out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) append_wide(out, decode(text, pos));
    return out;
}

template <typename Narrow, typename Wide>
Narrow to_utf8(const Wide& text) {
    Narrow out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(text[++i]) - 0xDC00);
        } else if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            code = replacement;
        }
        append_utf8(out, code);
    }
    return out;
}

// UTF-16 code units after a two-byte BOM; a surrogate without its partner
// and an odd last byte give U+FFFD.
secret_string utf16_to_utf8(const secret_string& bytes, bool big_endian) {
    auto unit = [&](std::size_t i) -> char32_t {
        auto high = static_cast<unsigned char>(bytes[big_endian ? i : i + 1]);
        auto low = static_cast<unsigned char>(bytes[big_endian ? i + 1 : i]);
        return static_cast<char32_t>(high << 8 | low);
    };
    secret_string out;
    out.reserve(bytes.size() * 3 / 2);
    std::size_t i = 2;
    for (; i + 1 < bytes.size(); i += 2) {
        char32_t code = unit(i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = replacement;
        }
        append_utf8(out, code);
    }
    if (i < bytes.size()) append_utf8(out, replacement);
    return out;
}

// True when every sequence is valid UTF-8 (a U+FFFD written out is one).
bool is_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t at = pos;
        if (decode(text, pos) == replacement && text.compare(at, 3, "\xEF\xBF\xBD") != 0)
            return false;
    }
    return true;
}

}  // namespace

std::wstring utf8_to_wide(const std::string& text) {
    return to_wide<std::wstring>(text);
}

std::string wide_to_utf8(const std::wstring& text) {
    return to_utf8<std::string>(text);
}

secret_wstring secret_utf8_to_wide(std::string_view text) {
    return to_wide<secret_wstring>(text);
}

secret_string secret_wide_to_utf8(const secret_wstring& text) {
    return to_utf8<secret_string>(text);
}

bool text_file_to_utf8(const secret_string& bytes, secret_string& text) {
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) text = utf16_to_utf8(bytes, false);
    else if (bytes.compare(0, 2, "\xFE\xFF") == 0) text = utf16_to_utf8(bytes, true);
    else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) text = bytes.substr(3);
    else if (is_utf8(bytes)) text = bytes;
    else return legacy_text_to_utf8(bytes, text);
    return true;
}

}  // namespace orbl
