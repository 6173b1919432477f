#pragma once
// One call of an operation through the loaded exports, and the latency
// summary of repeated calls.

#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "platform.h"

namespace qm2 {

// Longest text qm2 takes from the library (the lock reply text and the last
// error); longer texts are cut at this many bytes.
constexpr unsigned int text_buffer_length = 65536;

struct output {
    enum class kind { flag, number, text };

    std::string name;
    kind what = kind::text;
    bool flag = false;
    std::uint32_t number = 0;
    std::string text;
};

struct call_result {
    bool ok = false;
    std::string error;  // the library's last error, when !ok
    std::vector<output> outputs;
};

// Runs the operation of `opt` once through `exports`.
call_result call_once(const api& exports, const options& opt);

// The library's last error text; empty when none is recorded.
std::string last_error(const api& exports);

struct latency {
    double min_ms = 0;
    double median_ms = 0;
    double p99_ms = 0;
    double max_ms = 0;
};

// Nearest-rank percentiles of the samples (milliseconds); all zero when
// there are none.
latency summarize(std::vector<double> samples_ms);

}  // namespace qm2
