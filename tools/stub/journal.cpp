#include "journal.h"

#include <chrono>
#include <ctime>

namespace stub {

std::string utc_timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(ms));
    return text;
}

journal::~journal() {
    if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool journal::open(const std::string& path) {
    if (path == "-") {
        file_ = stdout;
        owned_ = false;
        return true;
    }
    file_ = std::fopen(path.c_str(), "a");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
}

void journal::record(unsigned long connection, const request& req, const answer& a) {
    if (file_ == nullptr) return;
    nlohmann::ordered_json entry = {{"time", utc_timestamp()},
                            {"conn", connection},
                            {"type", type_name(req.type)}};
    add_fields(req, entry);
    entry["rule"] = a.rule == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(a.rule);
    entry["answer"] = action_name(a.what);
    write(entry);
}

void journal::record_refused(unsigned long connection, int type, const std::string& reason) {
    if (file_ == nullptr) return;
    write(nlohmann::ordered_json{{"time", utc_timestamp()},
           {"conn", connection},
           {"type", type_name(type)},
           {"rule", nullptr},
           {"answer", "error"},
           {"error", reason}});
}

void journal::write(const nlohmann::ordered_json& entry) {
    const std::string line = entry.dump() + "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    // Flushed per line: tests and tail -f read the journal while the stub runs.
    std::fflush(file_);
}

}  // namespace stub
