#include "report.h"

#include <cstdio>

#include "../common/text.h"

namespace qm2 {
namespace {

using json = nlohmann::ordered_json;

std::string milliseconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

double rounded(double ms) { return static_cast<double>(static_cast<long long>(ms * 1000 + 0.5)) / 1000; }

}  // namespace

std::string text_report(const call_result& r) {
    if (!r.ok) return std::string();
    std::string out = "ok\n";
    for (const auto& o : r.outputs) {
        out += o.name + "=";
        switch (o.what) {
        case output::kind::flag: out += o.flag ? "true" : "false"; break;
        case output::kind::number: out += std::to_string(o.number); break;
        case output::kind::text: out += tools::escape_line(o.text); break;
        }
        out += "\n";
    }
    return out;
}

std::string json_report(const std::string& command, const call_result& r) {
    json j = {{"command", command}, {"ok", r.ok}};
    if (!r.ok) j["error"] = tools::json_text(r.error);
    for (const auto& o : r.outputs) {
        switch (o.what) {
        case output::kind::flag: j[o.name] = o.flag; break;
        case output::kind::number: j[o.name] = o.number; break;
        case output::kind::text: j[o.name] = tools::json_text(o.text); break;
        }
    }
    return j.dump() + "\n";
}

std::string text_report(const repeat_report& r) {
    std::string out = "count=" + std::to_string(r.count) + "\n";
    out += "failures=" + std::to_string(r.failures) + "\n";
    out += "min_ms=" + milliseconds(r.times.min_ms) + "\n";
    out += "median_ms=" + milliseconds(r.times.median_ms) + "\n";
    out += "p99_ms=" + milliseconds(r.times.p99_ms) + "\n";
    out += "max_ms=" + milliseconds(r.times.max_ms) + "\n";
    return out;
}

std::string json_report(const std::string& command, const repeat_report& r) {
    json j = {{"command", command},
              {"ok", r.failures == 0},
              {"count", r.count},
              {"failures", r.failures},
              {"latency_ms",
               {{"min", rounded(r.times.min_ms)},
                {"median", rounded(r.times.median_ms)},
                {"p99", rounded(r.times.p99_ms)},
                {"max", rounded(r.times.max_ms)}}}};
    if (r.failures > 0) j["first_error"] = tools::json_text(r.first_error);
    return j.dump() + "\n";
}

std::string error_line(const std::string& text) {
    // The library's own texts are never empty: this is a server's ErrorReply.
    if (text.empty()) return "qm2: error: the server gave an empty error text\n";
    return "qm2: error: " + tools::escape_line(text) + "\n";
}

}  // namespace qm2
