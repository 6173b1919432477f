#pragma once
// INI reader. The file is read as UTF-8 (a BOM is skipped), or as UTF-16
// when it starts with a UTF-16LE or UTF-16BE byte-order mark: "[Section]"
// headers, "key=value" lines, ";" or "#" comment lines. Section and key
// names are case-insensitive and trimmed, values trimmed, the first
// occurrence of a key in a section wins. A missing file reads as empty; a
// file that exists but cannot be read is reported by status().

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "components/paths.h"
#include "components/secret.h"

namespace orbl {

class profile {
public:
    // The file may hold a key password: every copy of its text is kept in
    // wiping buffers (see secret.h), never in a plain string.
    explicit profile(const std::wstring& path);
    profile(profile&&) = default;
    profile& operator=(profile&&) = default;

    // `read` also for a path that is not absolute: such a file is never
    // opened, so it is not looked up in the process's current directory.
    file_status status() const { return status_; }

    // An optional sign and decimal digits; saturates to the 32-bit range.
    // Anything else, or an absent key, gives `def`.
    int read(const std::string& section, const std::string& key, int def) const;
    // The value decoded from UTF-8, or `def` when the key is absent.
    std::wstring read_wstr(const std::string& section, const std::string& key,
                           const std::wstring& def) const;
    // As read_wstr with an empty default, for a secret.
    secret_wstring read_secret(const std::string& section, const std::string& key) const;

    // Parses INI text; used by the constructor, public for tests.
    static profile from_text(std::string_view text);

private:
    profile() = default;
    void parse(std::string_view text);
    const secret_string* find(const std::string& section, const std::string& key) const;

    using entry = std::pair<const std::string, secret_string>;
    // Key: lower-case "section\nkey". The nodes hold the values, so they
    // are wiped on release like the values' own blocks.
    std::map<std::string, secret_string, std::less<>, wiping_allocator<entry>> values_;
    file_status status_ = file_status::read;
};

// Parses an integer as profile::read does.
bool parse_int(std::string_view text, int& value);

}  // namespace orbl
