#include "protocol/exchange.h"

#include <string>
#include <utility>

#include "components/text/serializer.h"
#include "protocol/errors.h"
#include "protocol/trace_messages.h"

namespace quel {

void next_message(orbl::IClientSocket& socket, Message& message) {
    // No limit of its own: a server may answer after several socket
    // time-outs. A dead peer ends the wait with a socket error.
    try {
        while (!message.receive(socket)) {
        }
    } catch (const msg_error& error) {
        // What came back, for support: a web server's "HTTP/1.1" shows.
        trace::line("frame-fault", [&] {
            const std::vector<char>& bytes = message.bytes();
            return trace::text_field("error", error.what()) + trace::bytes_field(bytes.data(), bytes.size());
        });
        throw;
    }
    if (trace::on()) trace::answer(message);
}

void take_reply(Message& message) {
    switch (message.get_type()) {
    case Reply:
        return;
    case ErrorReply: {
        std::string text;
        orbl::in_serialize(message.data_begin(), message.data_end()) >> text;
        // A text of up to 60 MiB: never more than two copies of it at once.
        message.trim(0);
        throw client_error(std::move(text));
    }
    default:
        throw client_error(unexpected_message_text);
    }
}

std::unique_ptr<IMessage> receive_reply(orbl::IClientSocket& socket) {
    auto message = std::make_unique<Message>();
    next_message(socket, *message);
    take_reply(*message);
    return message;
}

}  // namespace quel
