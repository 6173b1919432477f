#include "protocol/exchange.h"

#include <string>

#include "components/serializer.h"
#include "protocol/errors.h"
#include "protocol/trace_messages.h"

namespace quel {

std::unique_ptr<IMessage> receive_reply(orbl::IClientSocket& socket) {
    std::unique_ptr<IMessage> message;
    // No limit of its own: a server may answer after several socket
    // time-outs. A dead peer ends the wait with a socket error.
    while (!message) message = receive_message(socket);
    if (trace::on()) trace::answer(*message);

    switch (message->get_type()) {
    case Reply:
        return message;
    case ErrorReply: {
        orbl::in_serialize reader(message->data_begin(), message->data_end());
        std::string text;
        reader >> text;
        throw client_error(text);
    }
    default:
        throw client_error(unexpected_message_text);
    }
}

}  // namespace quel
