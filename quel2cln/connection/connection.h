#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "components/serializer.h"
#include "components/socket.h"
#include "protocol/message.h"

namespace quel {

// The one connection to the server; owns its socket. The operations take the
// host's texts as they are: each request is sized from them, then written
// once, straight behind its header.
class Connection {
public:
    explicit Connection(std::unique_ptr<orbl::IClientSocket> socket);

    void exec_sql(std::string_view text1, std::string_view text2, std::string_view text3);
    void get_auto_inc(std::string_view text1, std::string_view text2, std::string_view text3,
                      bool* no_value, unsigned int* value);
    void calc_auto_inc(std::string_view text1, std::string_view text2, std::string_view text3,
                       std::string_view field_list, unsigned int* value);
    void save_result(std::string_view text1, std::string_view text2, std::string_view text3,
                     std::string_view text4, std::string_view text5);
    void lock(std::string_view text1, std::string_view text2, int lock_mode,
              std::string_view text4, unsigned int number, bool* lock_result, char* reply_text,
              unsigned int reply_text_len);

    // False once a request has begun to go out and no whole reply has come
    // back for it, whatever broke off the exchange (a frame fault, a socket
    // error, no memory for the reply): the next reply read from the stream
    // could belong to another request, so it must not be used again.
    bool in_step() const { return in_step_; }

private:
    // Sends a request of `type` whose payload `write(out)` writes, and
    // returns the server's Reply (one exchange). `write` runs twice: once
    // to size the payload (an oversized one is refused before anything is
    // copied or sent), once to write it.
    template <typename Write>
    std::unique_ptr<IMessage> exchange(MessageType type, const Write& write);
    std::unique_ptr<IMessage> send_and_receive(Message& request);

    std::unique_ptr<orbl::IClientSocket> socket_;
    bool in_step_ = true;
};

template <typename Write>
std::unique_ptr<IMessage> Connection::exchange(MessageType type, const Write& write) {
    orbl::size_serialize size;
    write(size);
    Message request(type, size.size());
    orbl::out_serialize out(request.payload());
    write(out);
    request.end_payload();
    return send_and_receive(request);
}

}  // namespace quel
