// The texts a host can see are a contract: the README's table "Errors a host
// can see" lists exactly the constants of the two tables of texts, in their
// order, and no other source file spells one of them out again. Its table of
// settings shows the keys the library reads, in order, with their defaults
// and bounds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "connection/settings.h"

namespace {

namespace fs = std::filesystem;

const fs::path source_dir = QUEL2CLN_SOURCE_DIR;
const char* const tables[] = {"quel2cln/components/net/net_errors.h", "quel2cln/protocol/errors.h"};
// Texts a table names by reference ("= orbl::serializer_text::too_big;").
const char* const referenced = "quel2cln/components/text/serializer.h";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> constants() {
    const std::regex constant(R"re(inline constexpr char (\w+)\[\] = "([^"]*)";)re");
    std::map<std::string, std::string> named;
    const std::string source = read_text(source_dir / referenced);
    for (std::sregex_iterator it(source.begin(), source.end(), constant), end; it != end; ++it)
        named[(*it)[1]] = (*it)[2];
    std::vector<std::string> texts;
    const std::regex entry(R"re(inline constexpr (?:char \w+\[\] = "([^"]*)"|auto& \w+ = orbl::\w+::(\w+));)re");
    for (const char* table : tables) {
        const std::string text = read_text(source_dir / table);
        for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it)
            texts.push_back((*it)[1].matched ? (*it)[1].str() : named.at((*it)[2]));
    }
    return texts;
}

// The code spans of the table's first column, without a "(code) " prefix.
std::vector<std::string> readme_texts() {
    std::istringstream readme(read_text(source_dir / "README.md"));
    std::vector<std::string> texts;
    bool inside = false;
    const std::regex span("`(\\(\\d+\\) )?([^`]*)`");
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0) inside = line == "## Errors a host can see";
        if (!inside || line.rfind("| `", 0) != 0) continue;
        const std::string first = line.substr(1, line.find(" | ") - 1);
        for (std::sregex_iterator it(first.begin(), first.end(), span), end; it != end; ++it)
            if ((*it)[2] != "code" && (*it).str() != "`(code) text`") texts.push_back((*it)[2]);
    }
    return texts;
}

TEST(ErrorTexts, TheReadmeListsEveryConstantInOrder) {
    const std::vector<std::string> defined = constants();
    ASSERT_GT(defined.size(), 30u);
    EXPECT_EQ(readme_texts(), defined);
    EXPECT_EQ(std::set<std::string>(defined.begin(), defined.end()).size(), defined.size());
}

TEST(ErrorTexts, NoOtherSourceSpellsOneOut) {
    const std::vector<std::string> defined = constants();
    for (const auto& entry : fs::recursive_directory_iterator(source_dir / "quel2cln")) {
        const fs::path& path = entry.path();
        if (!entry.is_regular_file() || (path.extension() != ".cpp" && path.extension() != ".h")) continue;
        if (path == source_dir / tables[0] || path == source_dir / tables[1] || path == source_dir / referenced)
            continue;
        // Code only: comments may quote a text.
        std::istringstream lines(read_text(path));
        std::string text;
        for (std::string line; std::getline(lines, line);) text += line.substr(0, line.find("//")) + "\n";
        for (const std::string& t : defined)
            EXPECT_EQ(text.find("\"" + t + "\""), std::string::npos) << t << " in " << path;
    }
}

// "Section | Key | Default | Bounds" as the README writes a key.
std::string row_of(const quel::SettingKey& key) {
    using K = quel::SettingKey;
    const std::string bounds = key.kind == K::bounded ? std::to_string(key.low) + " to " + std::to_string(key.high)
                               : key.kind == K::number ? "none; 0 or below: no limit"
                                                       : "\xE2\x80\x94";  // an em dash
    return std::string(key.section) + " | " + key.key + " | " +
           (key.kind == K::text ? "empty" : std::to_string(key.fallback)) + " | " + bounds;
}

TEST(SettingsTable, TheReadmeListsEveryKeyWithItsDefaultAndBounds) {
    std::vector<std::string> expected, listed;
    for (const quel::SettingKey* key : quel::ini_key::all) expected.push_back(row_of(*key));
    std::istringstream readme(read_text(source_dir / "README.md"));
    bool inside = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0) inside = line.find("quel2cln.ini") != std::string::npos;
        if (!inside || line.rfind("| ", 0) != 0 || line.rfind("| Section", 0) == 0) continue;
        std::size_t end = 0;  // the end of the fourth cell
        for (int cell = 0; cell < 4 && end != std::string::npos; ++cell) end = line.find(" |", end + 1);
        listed.push_back(line.substr(2, end - 2));
    }
    EXPECT_EQ(listed, expected);
}

}  // namespace
