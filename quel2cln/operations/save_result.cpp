#include "connection/connection.h"
#include "protocol/requests.h"

namespace quel {

void Connection::save_result(std::string_view text1, std::string_view text2,
                             std::string_view text3, std::string_view text4,
                             std::string_view text5) {
    exchange(SaveResult,
             [&](auto& out) { put_fields<SaveResult>(out, text1, text2, text3, text4, text5); });
    // The Reply is the whole acknowledgement.
}

}  // namespace quel
