#include "components/files/profile.h"

#include <algorithm>

#include <cctype>
#include <climits>

#include "components/files/paths.h"
#include "components/text/text.h"

namespace orbl {

namespace {

std::string_view trim(std::string_view text) {
    const char* space = " \t\r\n\f\v";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

void append_lower(std::string& out, std::string_view text) {
    for (char c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string make_key(std::string_view section, std::string_view key) {
    std::string result;
    append_lower(result, trim(section));
    result += '\n';
    append_lower(result, trim(key));
    return result;
}

// The value without a trailing comment: ";" or "#" at its start or after a
// blank begins one.
std::string_view without_comment(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((text[i] == ';' || text[i] == '#') && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t'))
            return trim(text.substr(0, i));
    }
    return text;
}

}  // namespace

bool parse_int(std::string_view text, int& value) {
    text = without_comment(text);
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
    // Only an absolute path is opened, so a relative name is never looked up
    // in the process's current directory.
    if (!is_absolute_path(path)) return;
    secret_string bytes;
    status_ = read_file(path, bytes, max_profile_bytes, &os_error_);
    if (status_ != file_status::read) return;
    secret_string text;
    if (text_file_to_utf8(bytes, text)) parse(text);
    else status_ = file_status::not_utf8;
}

profile profile::from_text(std::string_view text) {
    profile result;
    result.parse(text);
    return result;
}

// Works on views of the text: no piece of a line is copied except a
// section name, a key name and the value, which goes straight into its
// wiping buffer.
void profile::parse(std::string_view text) {
    std::size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    std::string section;
    int line_number = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++line_number;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            std::size_t close = line.find(']');
            if (close != std::string_view::npos) {
                section = line.substr(1, close - 1);
                std::string name;
                append_lower(name, trim(section));
                names_.emplace_back(line_number, std::move(name));
            }
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view value = trim(line.substr(equals + 1));
        std::string key = make_key(section, line.substr(0, equals));
        if (values_.find(key) != values_.end()) continue;
        names_.emplace_back(line_number, key);
        values_.emplace(std::move(key), secret_string(value.data(), value.size()));
    }
}

const secret_string* profile::find(const std::string& section, const std::string& key) const {
    auto it = values_.find(make_key(section, key));
    return it == values_.end() ? nullptr : &it->second;
}

int profile::read(const std::string& section, const std::string& key, int def) const {
    int value = 0;
    return read_number(section, key, value) == number_status::ok ? value : def;
}

number_status profile::read_number(const std::string& section, const std::string& key,
                                   int& value) const {
    const secret_string* text = find(section, key);
    if (!text) return number_status::absent;
    int parsed = 0;
    if (!parse_int(std::string_view(text->data(), text->size()), parsed)) return number_status::invalid;
    value = parsed;
    return number_status::ok;
}

int profile::line_of(const std::string& section, const std::string& key) const {
    const std::string name = make_key(section, key);
    for (const auto& [line, found] : names_)
        if (found == name) return line;
    return 0;
}

std::vector<profile::unknown_name> profile::unknown(
    const std::vector<std::pair<std::string, std::string>>& known) const {
    std::vector<std::string> names;  // as names_ holds them
    for (const auto& [section, key] : known) {
        names.emplace_back();
        append_lower(names.back(), trim(section));
        names.push_back(make_key(section, key));
    }
    auto is_known = [&](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    std::vector<unknown_name> result;
    for (const auto& [line, name] : names_) {
        const std::size_t split = name.find('\n');
        const std::string section = name.substr(0, split);
        if (split == std::string::npos) {
            if (!is_known(section)) result.push_back({line, section, {}});
        } else if ((section.empty() || is_known(section)) && !is_known(name)) {
            result.push_back({line, section, name.substr(split + 1)});
        }
    }
    return result;
}

std::wstring profile::read_wstr(const std::string& section, const std::string& key,
                                const std::wstring& def) const {
    const secret_string* text = find(section, key);
    return text ? utf8_to_wide(std::string(text->data(), text->size())) : def;
}

secret_wstring profile::read_secret(const std::string& section, const std::string& key) const {
    const secret_string* text = find(section, key);
    return text ? secret_utf8_to_wide(std::string_view(text->data(), text->size())) : secret_wstring();
}

}  // namespace orbl
