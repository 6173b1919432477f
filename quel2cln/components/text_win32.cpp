// The default narrow encoding on Windows is the ANSI code page.
#include <windows.h>

#include <climits>

#include "components/text.h"

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

}  // namespace orbl
