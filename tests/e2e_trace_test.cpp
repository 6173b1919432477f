// The trace seen from a host: every kind of event, texts cut and escaped,
// QUEL2CLN_TRACE before the INI key, and a trace file that cannot be opened
// changing nothing.

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

}  // namespace
}  // namespace qtest
