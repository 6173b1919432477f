#include "connection/connection.h"
#include "protocol/requests.h"

namespace quel {

void Connection::exec_sql(std::string_view text1, std::string_view text2, std::string_view text3) {
    exchange(ExecSQL, [&](auto& out) { put_fields<ExecSQL>(out, text1, text2, text3); });
    // The Reply is the whole acknowledgement.
}

}  // namespace quel
