#include "components/socket.h"

namespace orbl {

namespace {

socket_security_param& stored_params() {
    static socket_security_param params;
    return params;
}

}  // namespace

void set_socket_security_params(const socket_security_param& param) {
    stored_params() = param;
}

socket_security_param get_socket_security_params() {
    return stored_params();
}

}  // namespace orbl
