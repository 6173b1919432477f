#include "protocol/exchange.h"

#include <string>

#include "components/serializer.h"
#include "protocol/errors.h"
#include "protocol/trace_messages.h"

namespace quel {

std::unique_ptr<IMessage> next_message(orbl::IClientSocket& socket) {
    std::unique_ptr<IMessage> message;
    // No limit of its own: a server may answer after several socket
    // time-outs. A dead peer ends the wait with a socket error.
    while (!message) message = receive_message(socket);
    if (trace::on()) trace::answer(*message);
    return message;
}

std::unique_ptr<IMessage> take_reply(std::unique_ptr<IMessage> message) {
    switch (message->get_type()) {
    case Reply:
        return message;
    case ErrorReply: {
        std::string text;
        orbl::in_serialize(message->data_begin(), message->data_end()) >> text;
        // A text of up to 60 MiB: never more than two copies of it at once.
        message.reset();
        throw client_error(text);
    }
    default:
        throw client_error(unexpected_message_text);
    }
}

std::unique_ptr<IMessage> receive_reply(orbl::IClientSocket& socket) {
    return take_reply(next_message(socket));
}

}  // namespace quel
