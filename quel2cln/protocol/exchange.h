#pragma once
#include <memory>

#include "components/net/socket.h"
#include "protocol/message.h"

namespace quel {

// Waits for the next message on `socket` (without a limit of its own: each
// wait is bounded by the socket's receive time-out) and returns it when it is
// a Reply. An ErrorReply throws client_error with the server's text, any
// other type client_error "unexpected message".
std::unique_ptr<IMessage> receive_reply(orbl::IClientSocket& socket);

// The two halves of receive_reply, on a message the caller keeps: the next
// whole message into the empty `message`, and its check. An ErrorReply's
// buffer is given back before its text is thrown.
void next_message(orbl::IClientSocket& socket, Message& message);
void take_reply(Message& message);

}  // namespace quel
