#pragma once
#include <memory>
#include <string>

#include "components/serializer.h"
#include "components/socket.h"
#include "protocol/message.h"

namespace quel {

// The one connection to the server; owns its socket.
class Connection {
public:
    explicit Connection(std::unique_ptr<orbl::IClientSocket> socket);

    std::unique_ptr<IMessage> receive_reply();

    void exec_sql(const std::string& text1, const std::string& text2, const std::string& text3);
    void get_auto_inc(const std::string& text1, const std::string& text2,
                      const std::string& text3, bool* no_value, unsigned int* value);
    void calc_auto_inc(const std::string& text1, const std::string& text2,
                       const std::string& text3, const std::string& field_list,
                       unsigned int* value);
    void save_result(const std::string& text1, const std::string& text2,
                     const std::string& text3, const std::string& text4,
                     const std::string& text5);
    void lock(const std::string& text1, const std::string& text2, int lock_mode,
              const std::string& text4, unsigned int number, bool* lock_result,
              char* reply_text, unsigned int reply_text_len);

    // False once a frame fault has left bytes of an unfinished message on
    // the stream (or sent part of a request): the next reply read from it
    // could belong to another request, so it must not be used again.
    bool in_step() const { return in_step_; }

private:
    // Sends a request of `type` with the writer's payload and returns the
    // server's Reply (one exchange).
    std::unique_ptr<IMessage> exchange(MessageType type, const orbl::out_serialize& writer);

    std::unique_ptr<orbl::IClientSocket> socket_;
    bool in_step_ = true;
};

}  // namespace quel
