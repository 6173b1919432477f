#include "connection/connection.h"
#include "operations/lock.h"
#include "operations/text_buffer.h"
#include "protocol/errors.h"
#include "protocol/requests.h"

namespace quel {

void Connection::lock(std::string_view text1, std::string_view text2, int lock_mode,
                      std::string_view text4, unsigned int number, bool* lock_result,
                      char* reply_text, unsigned int reply_text_len) {
    if (lock_mode < -1 || lock_mode > 1) throw client_error(invalid_lock_mode_text);
    exchange(
        Lock,
        [&](auto& out) {
            if (lock_mode == -1) put_fields<Lock>(out, text1, text2, lock_mode);
            else put_fields<Lock>(out, text1, text2, lock_mode, text4, number);
        },
        [&](orbl::in_serialize& reader) {
            if (lock_mode == -1) {
                if (lock_result) *lock_result = true;
                return;
            }
            bool flag = false;
            reader >> flag;
            if (lock_result) *lock_result = flag;
            if (lock_mode == 0 && !flag) {
                std::string text;
                reader >> text;
                if (reply_text) copy_text(text, reply_text, reply_text_len);
            }
        });
}

}  // namespace quel
