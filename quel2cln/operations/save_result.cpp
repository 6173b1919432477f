#include "connection/connection.h"

namespace quel {

void Connection::save_result(const std::string& text1, const std::string& text2,
                             const std::string& text3, const std::string& text4,
                             const std::string& text5) {
    orbl::out_serialize writer;
    writer << text1 << text2 << text3 << text4 << text5;
    exchange(SaveResult, writer);  // the Reply is the whole acknowledgement
}

}  // namespace quel
