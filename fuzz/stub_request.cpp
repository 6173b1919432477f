// quelmar-stub's handling of one request: the payload decoder, the rules
// (a fixed set using every kind of match), the answer and the journal's
// view of the fields. The input's first byte picks the request type, the
// rest is the payload. Whatever a client sends, the stub must answer with a
// well-formed frame or refuse it, never crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "protocol/message.h"

#include "../tools/stub/journal.h"
#include "../tools/stub/request.h"
#include "../tools/stub/responder.h"
#include "../tools/stub/rules.h"

namespace {

const char rules_text[] = R"({"rules": [
  {"match": {"type": "ExecSQL", "text2": {"regex": "^\\s*DROP\\s"}}, "error": "no drops"},
  {"match": {"type": "ExecSQL", "text1": {"hex": "ff00"}}, "raw": "00", "then": "close"},
  {"match": {"type": "Lock", "text2": "invoice-1001", "lock_mode": 0},
   "reply": {"flag": false, "text": "locked by user maria since 10:42"}},
  {"match": {"type": "Lock", "number": {"regex": "^4[0-9]+$"}}, "reply": {"flag": false}},
  {"match": {"type": "GetAutoInc", "text2": "orders"}, "reply": {"value": 1001}},
  {"match": {"type": "GetAutoInc", "text3": {"regex": "(a|b)*c"}}, "reply": {"no_value": true}},
  {"match": {"type": "CalcAutoInc", "fields": {"regex": "id:[0-9]+,"}}, "reply": {"value": 7}},
  {"match": {"type": "SaveResult", "text5": "x"}, "fault": "reset", "times": 1},
  {"match": {"text1": {"regex": "[[:alpha:]]{3}z$"}}, "delay_ms": 5}
]})";

const std::vector<stub::rule>& rules() {
    static const std::vector<stub::rule> parsed = stub::parse_rules(rules_text);
    return parsed;
}

// A reply or error answer is one frame whose header announces its payload.
void check_frame(const std::string& bytes) {
    if (bytes.size() < quel::MessageHeaderSize) std::abort();
    std::uint32_t size = quel::check_header(bytes.data(), bytes.size());
    if (bytes.size() != quel::MessageHeaderSize + size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int type = quel::ExecSQL + data[0] % 5;
    const std::vector<char> payload(data + 1, data + size);

    stub::responder answers(rules());
    stub::answer a;
    try {
        const stub::request req = stub::decode_request(type, payload.begin(), payload.end());
        // Twice, so a rule with "times" is passed over the second time.
        a = answers.respond(req);
        a = answers.respond(req);
        // The journal line of the request, written where it costs nothing.
        static stub::journal sink;
        if (!sink.is_open() && !sink.open("/dev/null")) std::abort();
        sink.record(1, req, a);
    } catch (const std::exception& e) {
        // What the server does with a request it cannot decode.
        a = stub::responder::refuse(e.what());
    }
    if (a.what == stub::action::reply || a.what == stub::action::error) check_frame(a.bytes);
    return 0;
}
