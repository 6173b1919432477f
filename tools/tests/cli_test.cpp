#include <gtest/gtest.h>

#include "../qm2/cli.h"
#include "../qm2/run.h"

namespace {

TEST(Qm2Args, ParsesOptionsAndCommands) {
    qm2::options o;
    std::string error;
    ASSERT_EQ(qm2::parse_args({"--host", "db1", "--port=9000", "--json", "--repeat", "5",
                               "--timeout", "250", "--lib", "/x/lib.so", "lock", "t1", "t2",
                               "-1", "t4", "4294967295"},
                              o, error),
              qm2::parse_result::run)
        << error;
    EXPECT_EQ(*o.host, "db1");
    EXPECT_EQ(o.port, 9000);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.repeat, 5u);
    EXPECT_EQ(o.timeout_ms, 250);
    EXPECT_EQ(o.library, "/x/lib.so");
    EXPECT_EQ(o.what, qm2::command::lock);
    EXPECT_EQ(o.lock_mode, -1);
    EXPECT_EQ(o.number, 4294967295u);
    EXPECT_EQ(o.texts, (std::vector<std::string>{"t1", "t2", "t4"}));

    qm2::options short_lock;
    ASSERT_EQ(qm2::parse_args({"lock", "a", "b", "0"}, short_lock, error), qm2::parse_result::run);
    EXPECT_EQ(short_lock.texts, (std::vector<std::string>{"a", "b", ""}));
    EXPECT_FALSE(short_lock.host.has_value());
    EXPECT_EQ(short_lock.number, 0u);

    // After the command every word is an argument, options included.
    qm2::options texts;
    ASSERT_EQ(qm2::parse_args({"exec", "--json", "-", ""}, texts, error), qm2::parse_result::run);
    EXPECT_FALSE(texts.json);
    EXPECT_EQ(texts.texts, (std::vector<std::string>{"--json", "-", ""}));
}

TEST(Qm2Args, UsageErrors) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{}, "no command given"},
        {{"--json"}, "no command given"},
        {{"select", "a", "b", "c"}, "unknown command \"select\""},
        {{"--verbos", "exec", "a", "b", "c"}, "unknown option \"--verbos\""},
        {{"exec", "a", "b"}, "wrong number of arguments for exec"},
        {{"exec", "a", "b", "c", "d"}, "wrong number of arguments for exec"},
        {{"calc-auto-inc", "a", "b", "c"}, "wrong number of arguments for calc-auto-inc"},
        {{"save-result", "1", "2", "3", "4"}, "wrong number of arguments for save-result"},
        {{"lock", "a", "b", "0", "t4"}, "wrong number of arguments for lock"},
        {{"lock", "a", "b", "x"}, "lock MODE must be an integer"},
        {{"lock", "a", "b", "99999999999"}, "lock MODE must be an integer"},
        {{"lock", "a", "b", "0", "t4", "-1"}, "lock NUMBER must be an integer from 0 to 4294967295"},
        {{"lock", "a", "b", "0", "t4", "4294967296"}, "lock NUMBER must be an integer"},
        {{"--port", "0", "exec", "a", "b", "c"}, "--port must be a number from 1 to 65535"},
        {{"--port", "65536", "exec", "a", "b", "c"}, "--port must be a number from 1 to 65535"},
        {{"--port", "8x", "exec", "a", "b", "c"}, "--port must be a number"},
        {{"--repeat", "0", "exec", "a", "b", "c"}, "--repeat must be a number"},
        {{"--timeout", "-5", "exec", "a", "b", "c"}, "--timeout must be a number"},
        {{"--lib="}, "--lib needs a path"},
        {{"--host"}, "option --host needs a value"},
    };
    for (const auto& c : cases) {
        qm2::options o;
        std::string error;
        EXPECT_EQ(qm2::parse_args(c.args, o, error), qm2::parse_result::usage_error) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error << " / expected " << c.error;
    }
}

TEST(Qm2Latency, NearestRankPercentiles) {
    const struct {
        std::vector<double> samples;
        double min, median, p99, max;
    } cases[] = {
        {{}, 0, 0, 0, 0},
        {{4}, 4, 4, 4, 4},
        {{3, 1, 2}, 1, 2, 3, 3},
        {{4, 1, 3, 2}, 1, 2, 4, 4},
    };
    for (const auto& c : cases) {
        const qm2::latency l = qm2::summarize(c.samples);
        EXPECT_EQ(l.min_ms, c.min);
        EXPECT_EQ(l.median_ms, c.median);
        EXPECT_EQ(l.p99_ms, c.p99);
        EXPECT_EQ(l.max_ms, c.max);
    }
    // 200 samples 1..200: the 99th percentile is the 198th value.
    std::vector<double> many;
    for (int i = 200; i >= 1; --i) many.push_back(i);
    const qm2::latency l = qm2::summarize(many);
    EXPECT_EQ(l.median_ms, 100);
    EXPECT_EQ(l.p99_ms, 198);
}

}  // namespace
