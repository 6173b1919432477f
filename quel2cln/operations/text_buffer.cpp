#include "operations/text_buffer.h"

#include <algorithm>
#include <cstring>

namespace quel {

void copy_text(const std::string& text, char* buffer, unsigned int length) {
    std::size_t n = std::min<std::size_t>(length, text.size());
    std::size_t copied = std::min(n, std::strlen(text.c_str()));
    std::memcpy(buffer, text.data(), copied);
    std::memset(buffer + copied, 0, n - copied + 1);
}

}  // namespace quel
