#pragma once
// INI reader. The file is read as UTF-8 (a BOM is skipped): "[Section]"
// headers, "key=value" lines, ";" or "#" comment lines. Section and key names
// are case-insensitive and trimmed, values trimmed, the first occurrence of a
// key in a section wins. A missing or unreadable file reads as empty.

#include <map>
#include <string>

namespace orbl {

class profile {
public:
    explicit profile(const std::wstring& path);
    // The file may hold a key password: its text is overwritten, not just
    // released.
    ~profile();
    profile(profile&&) = default;
    profile& operator=(profile&&) = default;

    // An optional sign and decimal digits; saturates to the 32-bit range.
    // Anything else, or an absent key, gives `def`.
    int read(const std::string& section, const std::string& key, int def) const;
    // The value decoded from UTF-8, or `def` when the key is absent.
    std::wstring read_wstr(const std::string& section, const std::string& key,
                           const std::wstring& def) const;

    // Parses INI text; used by the constructor, public for tests.
    static profile from_text(const std::string& text);

private:
    profile() = default;
    void parse(const std::string& text);
    const std::string* find(const std::string& section, const std::string& key) const;

    // Key: lower-case "section\nkey".
    std::map<std::string, std::string> values_;
};

// Parses an integer as profile::read does.
bool parse_int(const std::string& text, int& value);

}  // namespace orbl
