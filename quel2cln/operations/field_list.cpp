#include "operations/field_list.h"

#include <algorithm>

#include "protocol/errors.h"

namespace quel {

std::vector<std::string> split(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    std::size_t pos = 0;
    for (;;) {
        std::size_t found = text.find(delimiter, pos);
        std::size_t end = found == std::string::npos ? text.size() : found;
        if (end > pos) pieces.push_back(text.substr(pos, end - pos));
        if (found == std::string::npos) return pieces;
        pos = found + 1;
    }
}

std::vector<std::pair<std::string, std::string>> parse_field_list(const std::string& field_list) {
    std::string text = field_list;
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    text.erase(std::remove(text.begin(), text.end(), '.'), text.end());

    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& entry : split(text, ',')) {
        std::vector<std::string> parts = split(entry, ':');
        if (parts.size() != 2) throw client_error(invalid_field_list_text);
        entries.emplace_back(std::move(parts[0]), std::move(parts[1]));
    }
    return entries;
}

}  // namespace quel
