#include <gtest/gtest.h>

#include "../stub/rules.h"

namespace {

std::string error_of(const std::string& text) {
    try {
        stub::parse_rules(text);
    } catch (const stub::rules_error& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(StubRules, RefusesBadFilesNamingLineAndReason) {
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"{\n  \"rules\": [\n    {\"error\": \"x\"},\n  ]\n}",
         "line 4: syntax error while parsing value"},
        {"{\"rules\": [\n{\"error\": \"x\"\n", "line 3: "},
        {"[]", "line 1: the file must be an object with a \"rules\" array"},
        {"{\"rules\": {}}", "line 1: the file must be an object with a \"rules\" array"},
        {"{\"rules\": [], \"extra\": 1}", "line 1: unknown key \"extra\""},
        {"{\"rules\": [\n  {},\n  7\n]}", "line 3: rule 2: a rule must be an object"},
        {"{\"rules\": [\n  {\n    \"relpy\": {}\n  }\n]}",
         "line 3: rule 1: unknown key \"relpy\""},
        {"{\"rules\": [{\"match\": {\n \"type\": \"Exec\"}}]}",
         "line 2: rule 1: \"type\" must be one of ExecSQL, GetAutoInc, CalcAutoInc, SaveResult, Lock"},
        {"{\"rules\": [{\"match\": {\"type\": \"ExecSQL\",\n \"text4\": \"x\"}}]}",
         "line 2: rule 1: a ExecSQL request has no field \"text4\" (it has text1, text2, text3)"},
        {"{\"rules\": [{\"match\": {\"table\": \"x\"}}]}",
         "rule 1: no request has a field \"table\""},
        {"{\"rules\": [{\"match\": {\"text1\": {\"regex\": \"(\"}}}]}",
         "rule 1: invalid regular expression for \"text1\": missing ): ("},
        // Back-references need backtracking, which the matcher refuses.
        {"{\"rules\": [\n{\"match\": {\n\"text1\": {\"regex\": \"(a)\\\\1\"}}}]}",
         "line 3: rule 1: invalid regular expression for \"text1\": invalid escape sequence"},
        {"{\"rules\": [\n  {\"delay_ms\": 1e400}\n]}", "line 2: number overflow parsing '1e400'"},
        {"{\"rules\": [{\"match\": {\"type\": \"Lock\", \"number\": 4294967296}}]}",
         "rule 1: \"match.number\" is out of range"},
        {"{\"rules\": [{\"match\": {\"type\": \"Lock\", \"lock_mode\": \"0\"}}]}",
         "rule 1: \"lock_mode\" must be an integer or {\"regex\": \"...\"}"},
        {"{\"rules\": [{\"match\": {\"text1\": 5}}]}",
         "rule 1: \"match.text1\" must be a string or {\"hex\": \"...\"}"},
        {"{\"rules\": [{\"match\": {\"type\": \"GetAutoInc\"},\n \"reply\": {\"flag\": true}}]}",
         "line 2: rule 1: a GetAutoInc reply has no field \"flag\""},
        {"{\"rules\": [{\"reply\": {\"value\": 4294967296}}]}", "rule 1: \"reply.value\" is out of range"},
        {"{\"rules\": [{\"reply\": {\"value\": -1}}]}", "rule 1: \"reply.value\" is out of range"},
        {"{\"rules\": [{\"reply\": {\"no_value\": 1}}]}", "rule 1: \"no_value\" must be true or false"},
        {"{\"rules\": [{\"reply\": {\"count\": 1}}]}", "rule 1: unknown reply field \"count\""},
        {"{\"rules\": [{\"reply\": {}, \"error\": \"x\"}]}",
         "rule 1: a rule takes only one of \"reply\", \"error\", \"fault\" and \"raw\""},
        {"{\"rules\": [{\"fault\": \"explode\"}]}",
         "rule 1: \"fault\" must be \"close\", \"reset\" or \"no_answer\""},
        {"{\"rules\": [{\"raw\": \"5\"}]}", "rule 1: \"raw\" must be a string of hex digits"},
        {"{\"rules\": [{\"error\": {\"hex\": \"xy\"}}]}", "rule 1: \"error\" holds invalid hex"},
        {"{\"rules\": [{\"fault\": \"close\", \"then\": \"close\"}]}",
         "rule 1: \"then\" goes only with an answer"},
        {"{\"rules\": [{\"error\": \"x\", \"then\": \"later\"}]}",
         "rule 1: \"then\" must be \"close\""},
        {"{\"rules\": [{\"error\": \"x\", \"then\": \"reset\"}]}",
         "rule 1: \"then\" must be \"close\""},
        {"{\"rules\": [{\"delay_ms\": -1}]}", "rule 1: \"delay_ms\" is out of range"},
        {"{\"rules\": [{\"delay_ms\": 3600001}]}", "rule 1: \"delay_ms\" is out of range"},
        {"{\"rules\": [{\"delay_ms\": 1.5}]}", "rule 1: \"delay_ms\" must be an integer"},
        {"{\"rules\": [{\"times\": 0}]}", "rule 1: \"times\" is out of range"},
    };
    for (const auto& c : cases) {
        const std::string error = error_of(c.text);
        EXPECT_NE(error.find(c.error), std::string::npos)
            << "file:\n" << c.text << "\nerror: " << error << "\nexpected: " << c.error;
    }
}

TEST(StubRules, LoadNamesTheFile) {
    try {
        stub::load_rules("/nonexistent/rules.json");
        FAIL() << "accepted a missing file";
    } catch (const stub::rules_error& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/rules.json: cannot read the file");
    }
}

stub::field text(const std::string& t) {
    stub::field f;
    f.text = t;
    return f;
}

stub::field number(std::int64_t n) {
    stub::field f;
    f.what = stub::field::kind::integer;
    f.number = n;
    return f;
}

stub::request lock_request(const std::string& t1, int mode) {
    stub::request r;
    r.type = 7;
    r.fields = {{"text1", text(t1)}, {"text2", text("t2")}, {"lock_mode", number(mode)}};
    return r;
}

TEST(StubRules, MatchesTypeTextRegexAndNumbers) {
    const auto rules = stub::parse_rules(R"({"rules": [
        {"match": {"type": "Lock", "lock_mode": -1}},
        {"match": {"type": "Lock", "text1": "orders"}},
        {"match": {"text1": {"regex": "^cust[0-9]+$"}}},
        {"match": {"text1": {"hex": "ff00"}}},
        {"match": {"type": "ExecSQL"}},
        {"match": {"text1": {"regex": "^\\s*DROP\\s"}}}
    ]})");
    ASSERT_EQ(rules.size(), 6u);
    stub::request exec;
    exec.type = 3;
    exec.fields = {{"text1", text("orders")}};
    // Long texts: the matcher needs neither time nor stack in proportion.
    stub::request spaces;
    spaces.type = 3;
    spaces.fields = {{"text1", text(std::string(200000, ' ') + "DROP x")}};
    stub::request no_drop = spaces;
    no_drop.fields[0].second.text.resize(200000);
    const struct {
        stub::request req;
        std::vector<bool> matches;
    } cases[] = {
        {lock_request("x", -1), {true, false, false, false, false, false}},
        {lock_request("orders", 0), {false, true, false, false, false, false}},
        {lock_request("cust12", 1), {false, false, true, false, false, false}},
        {lock_request("cust12b", 1), {false, false, false, false, false, false}},
        {lock_request(std::string("\xff\x00", 2), 1), {false, false, false, true, false, false}},
        {exec, {false, false, false, false, true, false}},
        {spaces, {false, false, false, false, true, true}},
        {no_drop, {false, false, false, false, true, false}},
    };
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < rules.size(); ++i)
            EXPECT_EQ(rules[i].matches(c.req), c.matches[i])
                << "rule " << i + 1 << " text1 " << c.req.fields[0].second.text.substr(0, 40);
    }
}

TEST(StubRules, FieldListMatchesAsText) {
    const auto rules = stub::parse_rules(
        R"({"rules": [{"match": {"type": "CalcAutoInc", "fields": "id:1,code:2"}},
                      {"match": {"fields": {"regex": "(^|,)code:"}}}]})");
    stub::field pairs;
    pairs.what = stub::field::kind::pairs;
    pairs.add_pair("id", "1");
    stub::request req;
    req.type = 5;
    req.fields = {{"fields", pairs}};
    EXPECT_FALSE(rules[0].matches(req));
    EXPECT_FALSE(rules[1].matches(req));
    req.fields[0].second.add_pair("code", "2");
    EXPECT_TRUE(rules[0].matches(req));
    EXPECT_TRUE(rules[1].matches(req));
}

}  // namespace
