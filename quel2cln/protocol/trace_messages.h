#pragma once
// Trace lines of the exchange: each request with its fields, each answer
// decoded as the request's reply, with the milliseconds it took. Called only
// while quel::trace::on().

#include <cstddef>
#include <string>

#include "components/trace/trace.h"
#include "protocol/message.h"

namespace quel::trace {

// The request of `type` about to be sent, with its payload; remembered for
// decoding its answer.
void request(const IMessage& message, int type);
// The answer that arrived for the last request.
void answer(const IMessage& message);

// The decoded fields of a payload as " name=value" items; exposed for tests.
std::string request_fields(int type, const char* data, std::size_t size);
std::string answer_fields(int request_type, int lock_mode, int type, const char* data,
                          std::size_t size);

}  // namespace quel::trace
