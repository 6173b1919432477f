// The trace seen from a host: every kind of event, texts cut and escaped,
// QUEL2CLN_TRACE before the INI key, and a trace file that cannot be opened
// changing nothing.

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "e2e_fixture.h"
#include "support/platform.h"

namespace qtest {
namespace {

namespace tp = test_platform;

const char* const traced_ini =
    "[Connect]\nAttempts=3\nPause=1\n[Advanced]\nSocketTimeout=2000\nTraceFile=trace.log\n";

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class Trace : public EndToEnd {
protected:
    void TearDown() override { tp::set_environment("QUEL2CLN_TRACE", nullptr); }
    std::string trace(const char* name = "trace.log") { return read_text(tp::join_path(lib->dir(), name)); }
};

TEST_F(Trace, EveryEventIsOneLineWithTimeAndProcess) {
    reload(traced_ini);
    server.script(close_connection());
    server.script(reply());
    server.script(error_reply("no\tsuch table"));
    std::string sql(300, 'x');
    sql[1] = '\n';
    sql[2] = '"';
    EXPECT_TRUE(lib->ExecSQL("db", sql.c_str(), "me"));
    EXPECT_FALSE(lib->ExecSQL("db", "", ""));
    lib->Done();

    const std::string text = trace();
    const std::regex line("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z \\d+ ([a-z-]+)( .*)?");
    std::istringstream lines(text);
    std::string events;
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        events += m.str(1) + ",";
    }
    EXPECT_EQ(events,
              "init,connect,request,retry,connect,request,reply,request,error-reply,failure,done,");
    // A text is cut at 200 bytes, with its full length, and escaped.
    EXPECT_NE(text.find(" text2[300]=\"x\\n\\\"" + std::string(197, 'x') + "\"... text3[2]=\"me\""),
              std::string::npos) << text;
    EXPECT_NE(text.find(" error[13]=\"no\\tsuch table\" ms="), std::string::npos) << text;
    EXPECT_NE(text.find(" retry resend=1 of=3 code=0 reason[25]=\"connection closed by peer\""),
              std::string::npos)
        << text;
}

TEST_F(Trace, EnvironmentBeatsTheIniKeyAndABadFileChangesNothing) {
    const std::string dir = tp::make_temp_dir();
    const std::string from_environment = tp::join_path(dir, "env.log");
    tp::set_environment("QUEL2CLN_TRACE", from_environment.c_str());
    reload(traced_ini);
    EXPECT_TRUE(lib->ExecSQL("a", "b", "c"));
    EXPECT_NE(read_text(from_environment).find(" request type=ExecSQL"), std::string::npos);
    EXPECT_EQ(trace(), "");

    // Set but empty: off, whatever the INI says.
    tp::set_environment("QUEL2CLN_TRACE", "");
    ASSERT_TRUE(lib->Init("127.0.0.1", server.port()));
    EXPECT_TRUE(lib->ExecSQL("a", "b", "c"));
    EXPECT_EQ(trace(), "");

    tp::set_environment("QUEL2CLN_TRACE", tp::join_path(dir, "missing/dir/x.log").c_str());
    ASSERT_TRUE(lib->Init("127.0.0.1", server.port()));
    EXPECT_TRUE(lib->ExecSQL("a", "b", "c"));
    EXPECT_EQ(lib->last_error(), "<none>");
    tp::remove_tree(dir);
}

TEST_F(Trace, FrameFaultShowsTheBytesReceived) {
    reload(traced_ini);
    server.script(raw("HTTP/1.1 400 Bad Request\r\nServer: x\r\n\r\n"));
    EXPECT_FALSE(lib->ExecSQL("", "", ""));
    EXPECT_EQ(lib->last_error(), "no message magic");
    EXPECT_NE(trace().find(" frame-fault error[16]=\"no message magic\" bytes[39]=485454502f312e3120343030"),
              std::string::npos) << trace();
    EXPECT_NE(trace().find(" connect host[9]=\"127.0.0.1\" address=127.0.0.1 port="), std::string::npos);
}

// What a support call needs: names the library does not know, the key and
// line of a failed load, the file that could not be read and why.
TEST_F(Trace, SettingsProblemsAreNamedWithTheirLine) {
    struct Case {
        const char* ini;  // with TraceFile=trace.log appended
        bool init_ok;
        const char* expected;
    };
    const Case cases[] = {
        {"[Securty]\nLevel=2\n[Advanced]\n", true, " warning unknown section line=1 section[7]=\"securty\""},
        {"[Connect]\nAtempts=5\n[Advanced]\n", true,
         " warning unknown key line=2 section[7]=\"connect\" key[7]=\"atempts\""},
        {"[Connect]\n\n[Security]\nLevel=2.0\n[Advanced]\n", false,
         " invalid-setting section=Security key=Level line=4"},
    };
    for (const Case& c : cases) {
        reload((std::string(c.ini) + "TraceFile=trace.log\n").c_str(), false);
        EXPECT_EQ(lib->Init("127.0.0.1", server.port()), c.init_ok) << c.ini;
        EXPECT_NE(trace().find(c.expected), std::string::npos) << trace();
    }
    // Before the file is known, only QUEL2CLN_TRACE can say why it failed.
    const std::string dir = tp::make_temp_dir();
    const std::string log = tp::join_path(dir, "env.log");
    tp::set_environment("QUEL2CLN_TRACE", log.c_str());
    reload(nullptr, false);
    std::filesystem::create_directory(tp::join_path(lib->dir(), "quel2cln.ini"));
    EXPECT_FALSE(lib->Init("127.0.0.1", server.port()));
    EXPECT_NE(read_text(log).find(" file-error error[24]=\"cannot read quel2cln.ini\" path["),
              std::string::npos) << read_text(log);
    tp::remove_tree(dir);
}

// A trace that goes to a FIFO never holds up a call, and a reader that goes
// away never ends the process: the trace turns itself off.
TEST_F(Trace, FifoWithoutReaderOrWithAReaderThatLeaves) {
    for (const bool from_environment : {false, true}) {
        for (const bool reader : {false, true}) {
            reload(nullptr, false);
            const std::string fifo = tp::join_path(lib->dir(), "trace.log");
            if (!tp::make_fifo(fifo)) GTEST_SKIP() << "no FIFOs on this platform";
            ASSERT_TRUE(tp::write_file(tp::join_path(lib->dir(), "quel2cln.ini"),
                                       std::string(fast_ini) + "TraceFile=trace.log\n"));
            tp::set_environment("QUEL2CLN_TRACE", from_environment ? fifo.c_str() : nullptr);
            const int fd = reader ? tp::open_fifo_reader(fifo) : -1;
            ASSERT_TRUE(lib->Init("127.0.0.1", server.port())) << lib->last_error();
            if (fd >= 0) tp::close_fd(fd);
            EXPECT_TRUE(lib->ExecSQL("a", "b", "c")) << lib->last_error();
            EXPECT_TRUE(lib->ExecSQL("a", "b", "c")) << lib->last_error();
        }
    }
}

}  // namespace
}  // namespace qtest
