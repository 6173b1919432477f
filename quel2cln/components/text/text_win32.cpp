// The default narrow encoding on Windows is the ANSI code page.
#include <windows.h>

#include <climits>

#include "components/text/text.h"

namespace orbl {

bool char_to_wide(const std::string& text, std::wstring& out, const text_encoding& encoding) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    UINT code_page = encoding.code_page != 0 ? encoding.code_page : CP_ACP;
    int length = static_cast<int>(text.size());
    int needed = ::MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    out.resize(static_cast<std::size_t>(needed));
    if (::MultiByteToWideChar(code_page, 0, text.data(), length, &out[0], needed) != needed) {
        out.clear();
        return false;
    }
    return true;
}

bool legacy_text_to_utf8(const secret_string& bytes, secret_string& text) {
    text.clear();
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return false;
    int length = static_cast<int>(bytes.size());
    int needed = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    secret_wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, &wide[0], needed) != needed)
        return false;
    text = secret_wide_to_utf8(wide);
    return true;
}

}  // namespace orbl
