#pragma once
// The journal: one JSON object per line for every request received, so that
// a host's test can assert on what the host sent.

#include <cstdio>
#include <string>

#include "request.h"
#include "responder.h"

namespace stub {

class journal {
public:
    journal() = default;
    ~journal();
    journal(const journal&) = delete;
    journal& operator=(const journal&) = delete;

    // Opens `path` for appending ("-": standard output). False on failure.
    bool open(const std::string& path);
    bool is_open() const { return file_ != nullptr; }

    // A decoded request and the answer it got.
    void record(unsigned long connection, const request& req, const answer& a);
    // A request that could not be decoded, with the reason.
    void record_refused(unsigned long connection, int type, const std::string& reason);

private:
    std::FILE* file_ = nullptr;
    bool owned_ = false;
};

// Current time as "2026-12-07T21:43:01.123Z".
std::string utc_timestamp();

}  // namespace stub
