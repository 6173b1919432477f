#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "components/text/serializer.h"
#include "components/net/socket.h"
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
    // Sends a request of `type` whose payload `write(out)` writes, waits for
    // the server's Reply and hands its payload to `read(in)` (one exchange).
    // `write` runs twice: once to size the payload (an oversized one is
    // refused before anything is copied or sent), once to write it.
    template <typename Write, typename Read>
    void exchange(MessageType type, const Write& write, const Read& read);
    template <typename Write>
    void exchange(MessageType type, const Write& write) {
        exchange(type, write, [](orbl::in_serialize&) {});
    }
    // Sends request_ and receives its Reply into reply_.
    void send_and_receive();
    // Keeps the two messages' buffers for the next call only while they are
    // small.
    void trim_buffers() noexcept;

    std::unique_ptr<orbl::IClientSocket> socket_;
    bool in_step_ = true;
    // Reused by every call, so that a small call allocates nothing.
    Message request_;
    Message reply_;
};

// The most a connection keeps allocated between calls for its messages.
constexpr std::size_t kept_message_bytes = 65536;

template <typename Write, typename Read>
void Connection::exchange(MessageType type, const Write& write, const Read& read) {
    struct trim_on_exit {
        Connection& connection;
        ~trim_on_exit() { connection.trim_buffers(); }
    } trim{*this};
    orbl::size_serialize size;
    write(size);
    request_.begin(type, size.size());
    orbl::fixed_serialize out(request_.payload_begin(), request_.payload_end());
    write(out);
    // Sizing and writing share one encoding, so the payload is written to
    // its end; should it ever fall short, what is left goes out as zeros,
    // never as bytes of an earlier request.
    out.clear_rest();
    send_and_receive();
    orbl::in_serialize in(reply_.data_begin(), reply_.data_end());
    read(in);
}

}  // namespace quel
