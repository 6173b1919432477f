#include "components/profile.h"

#include <cctype>
#include <climits>

#include "components/paths.h"
#include "components/text.h"

namespace orbl {

namespace {

std::string trim(const std::string& text) {
    const char* space = " \t\r\n\f\v";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    std::size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void wipe(std::string& text) {
    volatile char* bytes = text.empty() ? nullptr : &text[0];
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = '\0';
}

std::string make_key(const std::string& section, const std::string& key) {
    return lower(trim(section)) + '\n' + lower(trim(key));
}

}  // namespace

bool parse_int(const std::string& text, int& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        // Saturate: beyond the 32-bit range the exact value no longer matters.
        if (magnitude <= static_cast<long long>(INT_MAX) + 1) magnitude = magnitude * 10 + (text[i] - '0');
    }
    if (negative) magnitude = -magnitude;
    if (magnitude > INT_MAX) value = INT_MAX;
    else if (magnitude < INT_MIN) value = INT_MIN;
    else value = static_cast<int>(magnitude);
    return true;
}

profile::profile(const std::wstring& path) {
    std::string text;
    // Only an absolute path is opened, so a relative name is never looked up
    // in the process's current directory.
    if (is_absolute_path(path) && read_file(path, text)) parse(text);
    wipe(text);
}

profile::~profile() {
    for (auto& entry : values_) wipe(entry.second);
}

profile profile::from_text(const std::string& text) {
    profile result;
    result.parse(text);
    return result;
}

void profile::parse(const std::string& text) {
    std::size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    std::string section;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            std::size_t close = line.find(']');
            if (close != std::string::npos) section = line.substr(1, close - 1);
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        values_.emplace(make_key(section, line.substr(0, equals)), trim(line.substr(equals + 1)));
    }
}

const std::string* profile::find(const std::string& section, const std::string& key) const {
    auto it = values_.find(make_key(section, key));
    return it == values_.end() ? nullptr : &it->second;
}

int profile::read(const std::string& section, const std::string& key, int def) const {
    const std::string* text = find(section, key);
    int value = 0;
    return text && parse_int(*text, value) ? value : def;
}

std::wstring profile::read_wstr(const std::string& section, const std::string& key,
                                const std::wstring& def) const {
    const std::string* text = find(section, key);
    return text ? utf8_to_wide(*text) : def;
}

}  // namespace orbl
