// The built library's dynamic symbol table holds the eight exports and
// nothing else of its own.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "support/platform.h"

namespace {

TEST(Exports, ExactlyTheEightFunctions) {
    std::string output;
    ASSERT_TRUE(test_platform::run_command(
        std::string(QUEL2CLN_NM) + " -D --defined-only '" + QUEL2CLN_LIBRARY_PATH + "'", output))
        << output;

    std::set<std::string> exported;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        // "address type name"; version-node entries ("A") are no symbols.
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        if (type == "A") continue;
        EXPECT_EQ(type, "T") << name << " is exported but is no function";
        exported.insert(name);
    }
    const std::set<std::string> expected = {
        "qm2_Init",     "qm2_Done",        "qm2_LastError",  "qm2_ExecSQL",
        "qm2_GetAutoInc", "qm2_CalcAutoInc", "qm2_SaveResult", "qm2_Lock",
    };
    EXPECT_EQ(exported, expected);
}

}  // namespace
