#pragma once
// What qm2 prints: "key=value" lines for people and line-based scripts, or
// one JSON object with --json.

#include <string>

#include "run.h"

namespace qm2 {

struct repeat_report {
    unsigned long count = 0;
    unsigned long failures = 0;
    latency times;
    std::string first_error;  // the first failure's text, if any
};

// Standard output after one call: "ok" and one "name=value" line per
// output, or nothing on failure (the error goes to standard error).
std::string text_report(const call_result& r);
std::string json_report(const std::string& command, const call_result& r);

std::string text_report(const repeat_report& r);
std::string json_report(const std::string& command, const repeat_report& r);

// The line for standard error after a failure: "qm2: error: TEXT".
std::string error_line(const std::string& text);

}  // namespace qm2
