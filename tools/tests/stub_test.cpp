// quelmar-stub as a process, driven by hand-made bytes.

#include <signal.h>

#include <memory>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "process.h"

namespace {

using namespace tools_test;

const std::string exec_payload = str("a") + str("b") + str("c");
const std::string empty_reply = frame(1, "");

TEST(StubProcess, AnnouncesItsPortAndStopsCleanlyOnSignals) {
    for (int signal : {SIGTERM, SIGINT}) {
        stub_process stub;
        EXPECT_TRUE(std::regex_match(stub.first_line(), std::regex("listening 127\\.0\\.0\\.1:[0-9]+")))
            << stub.first_line();
        // A connection left open after its answer does not hold the stop up.
        raw_client open(stub.port());
        open.send(frame(3, exec_payload));
        EXPECT_EQ(open.receive(empty_reply.size()), empty_reply);
        EXPECT_EQ(stub.stop(signal), 0);
        EXPECT_NE(stub.log().find("stopped after 1 connections, 1 requests"), std::string::npos)
            << stub.log();
    }
}

TEST(StubProcess, RefusesBadCommandLinesAndRulesFiles) {
    temp_dir dir;
    const std::string bad_rules = dir.write("rules.json", "{\"rules\": [\n  {\"fault\": \"bang\"}\n]}");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string error;
    } cases[] = {
        {{"--rules", bad_rules},
         2,
         "bad rules file: " + bad_rules + ": line 2: rule 1: \"fault\" must be"},
        {{"--rules", dir.file("missing.json")}, 2, "cannot read the file"},
        {{"--listen", "127.0.0.1"}, 2, "invalid listen address"},
        {{"--listen", "127.0.0.1:70000"}, 2, "invalid listen address"},
        {{"--port", "5"}, 2, "unknown option \"--port\""},
        {{"--rules"}, 2, "option --rules needs a value"},
        {{"--journal", dir.file("no/such/dir/journal")}, 1, "cannot open journal"},
        {{"--listen", "192.0.2.1:0"}, 1, "cannot listen on 192.0.2.1:0"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {STUB_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result r = run_program(args);
        EXPECT_EQ(r.status, c.status) << c.error;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(StubProcess, ClosesConnectionsThatSendInvalidFramesAndKeepsServing) {
    stub_process stub;
    const struct {
        std::string bytes;
        std::string logged;
    } cases[] = {
        {frame(3, exec_payload, "QUELMAR3"), "invalid frame: no message magic"},
        {frame(3, exec_payload, "QUELMAR2", "1002"), "invalid frame: message version mismatch"},
        {frame(0, exec_payload), "invalid frame: invalid message type"},
        {frame(8, exec_payload), "invalid frame: invalid message type"},
        {frame(-56, exec_payload), "invalid frame: invalid message type"},
        // Oversized data_size: refused on the header alone, nothing allocated.
        {frame_with_size(3, 62914561), "invalid frame: message data too big"},
        {frame_with_size(3, 0xFFFFFFFF), "invalid frame: message data too big"},
        {std::string(32, '\xff'), "invalid frame: no message magic"},
    };
    for (const auto& c : cases) {
        raw_client client(stub.port());
        client.send(c.bytes);
        EXPECT_TRUE(client.wait_closed()) << c.logged;
        EXPECT_NE(stub.log().find(c.logged), std::string::npos) << stub.log();
    }
    raw_client good(stub.port());
    good.send(frame(3, exec_payload));
    EXPECT_EQ(good.receive(empty_reply.size()), empty_reply);
    EXPECT_TRUE(stub.alive());
}

TEST(StubProcess, SurvivesHalfFramesAndAbruptDisconnects) {
    stub_process stub;
    const std::string whole = frame(3, exec_payload);
    const std::vector<std::string> partial = {
        "",                                       // connect and go
        whole.substr(0, 31),                      // half a header
        whole.substr(0, 32),                      // header without payload
        whole.substr(0, whole.size() - 1),        // payload cut short
        frame_with_size(3, 62914560),             // promises 60 MiB, sends nothing
    };
    for (const auto& bytes : partial) {
        for (bool reset : {false, true}) {
            raw_client client(stub.port());
            client.send(bytes);
            if (reset) client.reset();
        }
    }
    // A request split into single bytes is put together.
    raw_client slow(stub.port());
    for (char c : whole) slow.send(std::string(1, c));
    EXPECT_EQ(slow.receive(empty_reply.size()), empty_reply);
    EXPECT_TRUE(stub.alive());
    EXPECT_EQ(stub.stop(SIGTERM), 0);
}

TEST(StubProcess, AnswersRequestsOneAfterAnotherAndRefusesUndecodablePayloads) {
    temp_dir dir;
    const std::string journal = dir.file("journal.jsonl");
    stub_process stub({"--journal", journal});
    raw_client client(stub.port());
    // Two requests in one write: two answers, in order.
    client.send(frame(4, exec_payload) + frame(4, exec_payload));
    const std::string first = frame(1, std::string(1, '\0') + u32(1));
    const std::string second = frame(1, std::string(1, '\0') + u32(2));
    EXPECT_EQ(client.receive(first.size() + second.size()), first + second);

    const std::string truncated = frame(2, str("message data truncated"));
    client.send(frame(6, str("only one text")));
    EXPECT_EQ(client.receive(truncated.size()), truncated);
    const std::string unexpected = frame(2, str("unexpected message"));
    client.send(frame(1, ""));
    EXPECT_EQ(client.receive(unexpected.size()), unexpected);
    // The connection is still in step.
    client.send(frame(3, exec_payload));
    EXPECT_EQ(client.receive(empty_reply.size()), empty_reply);

    EXPECT_EQ(stub.stop(SIGTERM), 0);
    const auto lines = read_lines(journal);
    ASSERT_EQ(lines.size(), 5u);
    const auto refused = nlohmann::json::parse(lines[2]);
    EXPECT_EQ(refused["type"], "SaveResult");
    EXPECT_EQ(refused["error"], "message data truncated");
    EXPECT_EQ(refused["answer"], "error");
    EXPECT_EQ(nlohmann::json::parse(lines[3])["type"], "Reply");
    for (const auto& line : lines) EXPECT_EQ(nlohmann::json::parse(line)["conn"], 1);
}

TEST(StubProcess, ServesManyClientsAtOnce) {
    stub_process stub;
    std::vector<std::unique_ptr<raw_client>> clients;
    for (int i = 0; i < 64; ++i) clients.push_back(std::make_unique<raw_client>(stub.port()));
    // Every client sends before any reads: none waits for another.
    for (auto& c : clients) c->send(frame(3, exec_payload));
    for (auto& c : clients) EXPECT_EQ(c->receive(empty_reply.size()), empty_reply);
}

TEST(StubProcess, FaultsCloseResetOrWithholdTheAnswer) {
    temp_dir dir;
    const std::string rules = dir.write("rules.json", R"({"rules": [
        {"match": {"text1": "close"}, "fault": "close"},
        {"match": {"text1": "reset"}, "fault": "reset"},
        {"match": {"text1": "silent"}, "fault": "no_answer"},
        {"match": {"text1": "answer-then-close"}, "error": "bye", "then": "close"},
        {"match": {"text1": "raw"}, "raw": "5155454c4d4152"}
    ]})");
    stub_process stub({"--rules", rules});
    const auto request = [](const std::string& t1) { return frame(3, str(t1) + str("") + str("")); };

    raw_client closing(stub.port());
    closing.send(request("close"));
    EXPECT_TRUE(closing.wait_closed());

    raw_client resetting(stub.port());
    resetting.send(request("reset"));
    EXPECT_TRUE(resetting.wait_reset());

    raw_client bye(stub.port());
    bye.send(request("answer-then-close"));
    const std::string refusal = frame(2, str("bye"));
    EXPECT_EQ(bye.receive(refusal.size()), refusal);
    EXPECT_TRUE(bye.wait_closed());

    raw_client raw(stub.port());
    raw.send(request("raw"));
    EXPECT_EQ(raw.receive(7), "QUELMAR");

    // No answer: a later request on the same connection gets none either,
    // while other connections are served.
    raw_client silent(stub.port());
    silent.send(request("silent"));
    silent.send(request("other"));
    raw_client other(stub.port());
    other.send(request("other"));
    EXPECT_EQ(other.receive(empty_reply.size()), empty_reply);
    EXPECT_EQ(silent.receive(1, 200), "");
}

}  // namespace
