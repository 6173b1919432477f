#pragma once
// INI reader. The file is read as UTF-8 (a BOM is skipped), or as UTF-16
// when it starts with a UTF-16LE or UTF-16BE byte-order mark: "[Section]"
// headers, "key=value" lines, ";" or "#" comment lines. Section and key
// names are case-insensitive and trimmed, values trimmed, the first
// occurrence of a key in a section wins. A missing file reads as empty; a
// file that exists but cannot be read (or is not a regular file, or is
// larger than max_profile_bytes) is reported by status().

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "components/files/paths.h"
#include "components/text/secret.h"

namespace orbl {

constexpr std::size_t max_profile_bytes = 1u << 20;

// How a numeric key reads.
enum class number_status { absent, ok, invalid };

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
    // The system's error code of an unreadable file (0 when not known).
    int os_error() const { return os_error_; }

    // An optional sign and decimal digits; saturates to the 32-bit range. A
    // ";" or "#" after a blank starts a comment. Anything else, or an
    // absent key, gives `def`.
    int read(const std::string& section, const std::string& key, int def) const;
    // As read, telling an absent key from one that is not a whole number;
    // `value` is set only for `ok`.
    number_status read_number(const std::string& section, const std::string& key,
                              int& value) const;
    // Line number (from 1) of the key's first occurrence; 0 when absent.
    int line_of(const std::string& section, const std::string& key) const;

    // A section or key found in the file and not among `known`.
    struct unknown_name {
        int line;
        std::string section;
        std::string key;  // empty for a whole section
    };
    // `known` lists the (section, key) pairs a reader takes, in any case.
    // An unknown section is named once, not with each of its keys.
    std::vector<unknown_name> unknown(const std::vector<std::pair<std::string, std::string>>& known) const;
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
    // Names as found (lower case) with their line numbers: "section" for a
    // header, "section\nkey" for a key.
    std::vector<std::pair<int, std::string>> names_;
    file_status status_ = file_status::read;
    int os_error_ = 0;
};

// Parses an integer as profile::read does (comment included).
bool parse_int(std::string_view text, int& value);

}  // namespace orbl
