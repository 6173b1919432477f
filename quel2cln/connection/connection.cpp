#include "connection/connection.h"

#include "protocol/exchange.h"
#include "protocol/trace_messages.h"

namespace quel {

Connection::Connection(std::unique_ptr<orbl::IClientSocket> socket) : socket_(std::move(socket)) {}

void Connection::send_and_receive() {
    // Until a whole reply is in, any failure leaves the stream at an unknown
    // point: part of the request may have gone out, or part of the reply
    // may still be on its way.
    if (trace::on()) trace::request(request_, request_.get_type());
    in_step_ = false;
    request_.send(*socket_);
    reply_.clear();
    next_message(*socket_, reply_);
    in_step_ = true;
    take_reply(reply_);
}

void Connection::trim_buffers() noexcept {
    request_.trim(kept_message_bytes);
    reply_.trim(kept_message_bytes);
}

}  // namespace quel
