#pragma once
// Decides the answer to each request: the first rule that matches, else the
// default success answer.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "request.h"
#include "rules.h"

namespace stub {

struct answer {
    action what = action::reply;
    std::string bytes;  // the whole frame(s) to send, for reply, error and raw
    int delay_ms = 0;
    after then = after::keep;
    std::size_t rule = 0;  // 1-based number of the rule used; 0: default answer
};

class responder {
public:
    explicit responder(std::vector<rule> rules) : rules_(std::move(rules)) {}

    answer respond(const request& req);
    // An ErrorReply for a request the stub could not decode.
    static answer refuse(const std::string& text);

private:
    std::string reply_payload(const request& req, const reply_fields& fields);
    std::uint32_t next_counter(const request& req);

    std::vector<rule> rules_;
    // Per distinct (text1, text2, text3), keyed by their SHA-256 digest so
    // that a key costs 32 bytes however long the texts: the last number
    // handed out.
    std::map<std::string, std::uint32_t> counters_;
};

// One frame: the 32-byte header for `type` and the payload.
std::string make_frame(int type, const std::string& payload);

}  // namespace stub
