#include "connection/connection.h"

namespace quel {

void Connection::exec_sql(const std::string& text1, const std::string& text2,
                          const std::string& text3) {
    orbl::out_serialize writer;
    writer << text1 << text2 << text3;
    exchange(ExecSQL, writer);  // the Reply is the whole acknowledgement
}

}  // namespace quel
