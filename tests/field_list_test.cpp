#include "operations/field_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>


namespace {

using Pieces = std::vector<std::string>;

TEST(Split, KeepsOnlyNonEmptyPiecesInOrder) {
    struct Case {
        std::string text;
        char delimiter;
        Pieces pieces;
    };
    const Case cases[] = {
        {"", ',', {}},
        {",", ',', {}},
        {",,,", ',', {}},
        {"abc", ',', {"abc"}},
        {"a,b", ',', {"a", "b"}},
        {",a,,b,", ',', {"a", "b"}},
        {"a:b:c", ':', {"a", "b", "c"}},
        {"a,b", ':', {"a,b"}},
        {" ", ',', {" "}},
        {std::string("x\0y", 3), '\0', {"x", "y"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(quel::split(c.text, c.delimiter), c.pieces) << "\"" << c.text << "\"";
}

}  // namespace
