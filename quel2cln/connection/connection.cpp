#include "connection/connection.h"

#include "protocol/errors.h"
#include "protocol/exchange.h"
#include "protocol/trace_messages.h"

namespace quel {

Connection::Connection(std::unique_ptr<orbl::IClientSocket> socket) : socket_(std::move(socket)) {}

std::unique_ptr<IMessage> Connection::receive_reply() {
    try {
        return quel::receive_reply(*socket_);
    } catch (const msg_error&) {
        // Part of a message may still be on the stream.
        in_step_ = false;
        throw;
    }
}

std::unique_ptr<IMessage> Connection::exchange(MessageType type, const orbl::out_serialize& writer) {
    auto request = make_message(type);
    request->set_data(writer);
    if (trace::on()) trace::request(*request, type);
    try {
        request->send(*socket_);
    } catch (const msg_error&) {
        // Part of the request may have gone out.
        in_step_ = false;
        throw;
    }
    return receive_reply();
}

}  // namespace quel
