// The README's table of settings shows the keys the library reads, in the
// library's order, with their defaults and bounds.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "connection/settings.h"

namespace {

// "Section | Key | Default | Bounds" as the README writes a key.
std::string row_of(const quel::SettingKey& key) {
    const bool number = key.kind != quel::SettingKey::text;
    std::string row = std::string(key.section) + " | " + key.key + " | ";
    row += key.kind == quel::SettingKey::level || number ? std::to_string(key.fallback) : "empty";
    row += " | ";
    if (key.kind == quel::SettingKey::bounded)
        row += std::to_string(key.low) + " to " + std::to_string(key.high);
    else if (key.kind == quel::SettingKey::number)
        row += "none; 0 or below: no limit";
    else
        row += "\xE2\x80\x94";  // an em dash: no bounds
    return row;
}

std::vector<std::string> readme_rows() {
    std::ifstream in(std::string(QUEL2CLN_SOURCE_DIR) + "/README.md", std::ios::binary);
    std::vector<std::string> rows;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) inside = line.find("quel2cln.ini") != std::string::npos;
        if (!inside || line.rfind("| ", 0) != 0 || line.rfind("| Section", 0) == 0) continue;
        // The first four cells.
        std::size_t end = 0;
        for (int cell = 0; cell < 4 && end != std::string::npos; ++cell) end = line.find(" |", end + 1);
        rows.push_back(line.substr(2, end - 2));
    }
    return rows;
}

TEST(SettingsTable, TheReadmeListsEveryKeyWithItsDefaultAndBounds) {
    std::vector<std::string> expected;
    for (const quel::SettingKey* key : quel::ini_key::all) expected.push_back(row_of(*key));
    EXPECT_EQ(readme_rows(), expected);
}

}  // namespace
