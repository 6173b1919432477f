#include "connection/connection.h"

#include "protocol/exchange.h"
#include "protocol/trace_messages.h"

namespace quel {

Connection::Connection(std::unique_ptr<orbl::IClientSocket> socket) : socket_(std::move(socket)) {}

std::unique_ptr<IMessage> Connection::send_and_receive(Message& request) {
    // Until a whole reply is in, any failure leaves the stream at an unknown
    // point: part of the request may have gone out, or part of the reply
    // may still be on its way.
    if (trace::on()) trace::request(request, request.get_type());
    in_step_ = false;
    request.send(*socket_);
    auto reply = next_message(*socket_);
    in_step_ = true;
    return take_reply(std::move(reply));
}

}  // namespace quel
