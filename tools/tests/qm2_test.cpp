// qm2 against quelmar-stub, with the built library loaded by path from a
// directory that holds its quel2cln.ini.

#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "process.h"
#include "quel2cln_version.h"

namespace {

using namespace tools_test;
using json = nlohmann::json;

class Qm2 : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = lib_dir_.file(std::filesystem::path(LIBRARY_PATH).filename().string());
        std::filesystem::copy_file(LIBRARY_PATH, library_);
        // No pause between connection tries, and short time-outs, so that
        // failures come back quickly.
        lib_dir_.write("quel2cln.ini",
                       "[Connect]\nAttempts=3\nPause=0\n[Advanced]\nSocketTimeout=200\nTailTimeout=1000\n");
        journal_ = lib_dir_.file("journal.jsonl");
    }

    void start(const std::string& rules = "") {
        std::vector<std::string> args = {"--journal", journal_};
        if (!rules.empty()) {
            args.push_back("--rules");
            args.push_back(lib_dir_.write("rules.json", rules));
        }
        stub_ = std::make_unique<stub_process>(args);
    }

    run_result qm2(std::vector<std::string> args) {
        std::vector<std::string> all = {QM2_PATH, "--lib", library_, "--host", "127.0.0.1"};
        if (stub_) {
            all.push_back("--port");
            all.push_back(std::to_string(stub_->port()));
        }
        all.insert(all.end(), args.begin(), args.end());
        return run_program(all);
    }

    std::vector<json> journal() {
        std::vector<json> out;
        for (const auto& line : read_lines(journal_)) out.push_back(json::parse(line));
        return out;
    }

    temp_dir lib_dir_;
    std::string library_;
    std::string journal_;
    std::unique_ptr<stub_process> stub_;
};

TEST_F(Qm2, EveryOperationSucceedsAgainstTheDefaultAnswers) {
    start();
    const struct {
        std::vector<std::string> args;
        std::string json;
    } cases[] = {
        {{"exec", "a", "b", "c"}, R"({"command":"exec","ok":true})"},
        {{"get-auto-inc", "t", "u", "v"},
         R"({"command":"get-auto-inc","ok":true,"no_value":false,"value":1})"},
        {{"calc-auto-inc", "t", "u", "v", "id:1, code:2"},
         R"({"command":"calc-auto-inc","ok":true,"value":2})"},
        {{"save-result", "1", "2", "3", "4", "5"}, R"({"command":"save-result","ok":true})"},
        {{"lock", "a", "b", "-1"}, R"({"command":"lock","ok":true,"lock_result":true})"},
        {{"lock", "a", "b", "0", "t4", "9"}, R"({"command":"lock","ok":true,"lock_result":true})"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = qm2(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.json + "\n");
        EXPECT_EQ(r.err, "");
    }
    const auto entries = journal();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[2]["fields"], json::parse(R"([["id","1"],["code","2"]])"));
    EXPECT_EQ(entries[3]["text5"], "5");
    EXPECT_EQ(entries[4]["lock_mode"], -1);
    EXPECT_FALSE(entries[4].contains("text4"));
    EXPECT_EQ(entries[5]["text4"], "t4");
    EXPECT_EQ(entries[5]["number"], 9);
}

TEST_F(Qm2, TextOutputIsOneValuePerLine) {
    start(R"({"rules": [{"match": {"type": "Lock"}, "reply": {"flag": false, "text": "held by\nuser 7"}}]})");
    const run_result got = qm2({"get-auto-inc", "a", "b", "c"});
    EXPECT_EQ(got.out, "ok\nno_value=false\nvalue=1\n");
    const run_result lock = qm2({"lock", "a", "b", "0", "x", "1"});
    EXPECT_EQ(lock.status, 0);
    EXPECT_EQ(lock.out, "ok\nlock_result=false\ntext=held by\\nuser 7\n");
    const run_result exec = qm2({"exec", "a", "b", "c"});
    EXPECT_EQ(exec.out, "ok\n");
}

TEST_F(Qm2, RuleRepliesReachTheHost) {
    start(R"({"rules": [
        {"match": {"type": "GetAutoInc", "text1": "empty"}, "reply": {"no_value": true}},
        {"match": {"type": "GetAutoInc"}, "reply": {"value": 4294967295}},
        {"match": {"type": "CalcAutoInc", "fields": "id:7"}, "reply": {"value": 70}},
        {"match": {"type": "Lock", "lock_mode": 1}, "reply": {"flag": false, "text": "not sent to the host"}},
        {"match": {"type": "Lock"}, "reply": {"flag": false, "text": {"hex": "e96c6f636b"}}}
    ]})");
    const struct {
        std::vector<std::string> args;
        std::string json;
    } cases[] = {
        {{"get-auto-inc", "empty", "", ""}, R"({"command":"get-auto-inc","ok":true,"no_value":true,"value":0})"},
        {{"get-auto-inc", "x", "", ""},
         R"({"command":"get-auto-inc","ok":true,"no_value":false,"value":4294967295})"},
        {{"calc-auto-inc", "x", "", "", " id : 7 "}, R"({"command":"calc-auto-inc","ok":true,"value":70})"},
        {{"lock", "a", "b", "1", "", "0"}, R"({"command":"lock","ok":true,"lock_result":false})"},
        {{"lock", "a", "b", "0"},
         R"({"command":"lock","ok":true,"lock_result":false,"text":{"hex":"e96c6f636b"}})"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = qm2(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.json + "\n");
    }
}

TEST_F(Qm2, FailuresExitWithOneAndTheLibrarysText) {
    start(R"({"rules": [
        {"match": {"type": "SaveResult"}, "error": "disk full"},
        {"match": {"text1": "empty-error"}, "error": ""},
        {"match": {"text1": "raw"}, "raw": "0000000000000000000000000000000000000000000000000000000000000000"},
        {"match": {"text1": "request-type"}, "raw": "5155454c4d41523231303031000000000000000003000000000000000000000000"},
        {"match": {"text1": "close"}, "fault": "close"},
        {"match": {"text1": "reset-once"}, "fault": "reset", "times": 1}
    ]})");
    const struct {
        std::vector<std::string> args;
        std::string error;
        std::size_t requests;  // journal entries the call leaves
    } cases[] = {
        {{"save-result", "1", "2", "3", "4", "5"}, "disk full", 1},
        {{"calc-auto-inc", "a", "b", "c", "id:1,code"}, "invalid field list format", 0},
        {{"lock", "a", "b", "2"}, "invalid lock mode", 0},
        {{"exec", "raw", "", ""}, "no message magic", 1},
        {{"exec", "request-type", "", ""}, "unexpected message", 1},
        {{"exec", "empty-error", "", ""}, "", 1},
        // Closed by the server on every try: the first and 3 retries.
        {{"exec", "close", "", ""}, "(0) connection closed by peer", 4},
    };
    for (const auto& c : cases) {
        const std::size_t before = journal().size();
        const run_result text = qm2(c.args);
        EXPECT_EQ(text.status, 1) << c.error;
        EXPECT_EQ(text.out, "");
        EXPECT_EQ(text.err, "qm2: error: " +
                                (c.error.empty() ? "the server gave an empty error text" : c.error) +
                                "\n");
        EXPECT_EQ(journal().size() - before, c.requests) << c.error;

        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result as_json = qm2(args);
        EXPECT_EQ(as_json.status, 1);
        EXPECT_EQ(json::parse(as_json.out)["error"], c.error);
        EXPECT_EQ(json::parse(as_json.out)["ok"], false);
    }
    // A reset on the first try only: the library reconnects and succeeds.
    const std::size_t before = journal().size();
    EXPECT_EQ(qm2({"exec", "reset-once", "", ""}).status, 0);
    const auto entries = journal();
    ASSERT_EQ(entries.size() - before, 2u);
    EXPECT_EQ(entries[before]["answer"], "reset");
    EXPECT_EQ(entries[before + 1]["answer"], "reply");
    EXPECT_NE(entries[before]["conn"], entries[before + 1]["conn"]);
}

TEST_F(Qm2, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"exec"}, {"frobnicate"}, {"lock", "a", "b", "zero"}}) {
        const run_result r = run_program([&] {
            std::vector<std::string> all = {QM2_PATH};
            all.insert(all.end(), args.begin(), args.end());
            return all;
        }());
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("(see qm2 --help)"), std::string::npos) << r.err;
    }
    const run_result help = run_program({QM2_PATH, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: qm2"), std::string::npos);
    // No --lib: the library of this build, found through qm2's run path
    // (no path compiled in), named by its real file.
    const run_result version = run_program({QM2_PATH, "--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, "qm2 " QUEL2CLN_VERSION "\nlibrary " +
                               std::filesystem::canonical(LIBRARY_PATH).string() + " " QUEL2CLN_VERSION "\n");
}

TEST_F(Qm2, MissingLibraryOrServerExitsWithOne) {
    const run_result no_lib = run_program({QM2_PATH, "--lib", lib_dir_.file("nothing.so"), "exec", "a", "b", "c"});
    EXPECT_EQ(no_lib.status, 1);
    EXPECT_NE(no_lib.err.find("qm2: error: cannot load library"), std::string::npos) << no_lib.err;

    // A port nobody listens on: the stub's, after it stopped.
    start();
    const int port = stub_->port();
    stub_->stop(SIGTERM);
    const run_result refused = run_program({QM2_PATH, "--lib", library_, "--host", "127.0.0.1", "--port",
                                            std::to_string(port), "exec", "a", "b", "c"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "qm2: error: connection refused\n");
}

TEST_F(Qm2, RepeatRunsOnOneConnectionAndReportsLatency) {
    start(R"({"rules": [{"match": {"text1": "slow"}, "delay_ms": 50},
                        {"match": {"text1": "bad"}, "error": "nope"}]})");
    const run_result r = qm2({"--json", "--repeat", "20", "get-auto-inc", "a", "b", "c"});
    EXPECT_EQ(r.status, 0) << r.err;
    const json report = json::parse(r.out);
    EXPECT_EQ(report["count"], 20);
    EXPECT_EQ(report["failures"], 0);
    for (const char* key : {"min", "median", "p99", "max"}) EXPECT_TRUE(report["latency_ms"].contains(key));
    const auto entries = journal();
    ASSERT_EQ(entries.size(), 20u);
    for (const auto& e : entries) EXPECT_EQ(e["conn"], entries[0]["conn"]);

    // A delay only lengthens calls: the fastest takes at least the delay.
    const run_result slow = qm2({"--json", "--repeat", "3", "exec", "slow", "", ""});
    EXPECT_EQ(slow.status, 0);
    EXPECT_GE(json::parse(slow.out)["latency_ms"]["min"].get<double>(), 50.0);

    const run_result failing = qm2({"--repeat", "4", "exec", "bad", "", ""});
    EXPECT_EQ(failing.status, 1);
    EXPECT_NE(failing.out.find("count=4\nfailures=4\n"), std::string::npos) << failing.out;
    EXPECT_EQ(failing.err, "qm2: error: nope\n");
}

TEST_F(Qm2, TimeoutEndsACallThatGetsNoAnswer) {
    start(R"({"rules": [{"fault": "no_answer"}]})");
    const run_result r = qm2({"--json", "--timeout", "300", "exec", "a", "b", "c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qm2: error: no answer within 300 ms\n");
    EXPECT_EQ(json::parse(r.out)["error"], "no answer within 300 ms");
}

TEST_F(Qm2, JournalKeepsEveryByteTheHostSent) {
    start();
    const std::string latin1 = "caf\xe9";  // not UTF-8
    const std::string utf8 = "caf\xc3\xa9";
    EXPECT_EQ(qm2({"save-result", latin1, utf8, "", "with space, comma", "tab\there"}).status, 0);
    const auto entries = journal();
    ASSERT_EQ(entries.size(), 1u);
    const json& e = entries[0];
    EXPECT_EQ(e["type"], "SaveResult");
    EXPECT_EQ(e["text1"], json::parse(R"({"hex":"636166e9"})"));
    EXPECT_EQ(e["text2"], utf8);
    EXPECT_EQ(e["text3"], "");
    EXPECT_EQ(e["text4"], "with space, comma");
    EXPECT_EQ(e["text5"], "tab\there");
    EXPECT_EQ(e["rule"], nullptr);
    EXPECT_EQ(e["answer"], "reply");
    EXPECT_TRUE(e["conn"].is_number_unsigned());
    EXPECT_EQ(e["time"].get<std::string>().size(), std::string("2026-01-01T00:00:00.000Z").size());
}

TEST_F(Qm2, VerboseNamesLibraryAndSettingsFile) {
    start();
    const run_result r = qm2({"--verbose", "exec", "a", "b", "c"});
    EXPECT_EQ(r.status, 0);
    const std::string dir = std::filesystem::canonical(lib_dir_.path()).string();
    EXPECT_NE(r.err.find("qm2: library " + dir + "/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("qm2: settings " + dir + "/quel2cln.ini\n"), std::string::npos) << r.err;
}

}  // namespace
