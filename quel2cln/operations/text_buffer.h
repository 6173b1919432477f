#pragma once
#include <string>

namespace quel {

// Copies text into a host buffer of length + 1 bytes: n = min(length, text
// size) bytes as a zero-terminated copy would (stopping at a NUL inside the
// text and zero-filling the rest of the n bytes), then a NUL at index n.
void copy_text(const std::string& text, char* buffer, unsigned int length);

}  // namespace quel
