#include "components/net/socket.h"

#include <cstdint>

namespace orbl {

namespace {

void wipe_password(socket_security_param& params) {
    wipe(params.key_password);
}

// The copy kept for the process; its password is overwritten when it is
// replaced and when the library is unloaded.
struct kept_params {
    socket_security_param params;
    std::uint64_t loads = 0;
    std::uint64_t changes = 0;
    ~kept_params() { wipe_password(params); }
};

kept_params& stored() {
    static kept_params kept;
    return kept;
}

}  // namespace

void set_socket_security_params(const socket_security_param& param) {
    socket_security_param& params = stored().params;
    if (&param == &params) return;
    ++stored().loads;
    if (param.cert_file == params.cert_file && param.key_file == params.key_file &&
        param.ca_file == params.ca_file && param.key_password == params.key_password)
        return;
    wipe_password(params);
    params = param;
    ++stored().changes;
}

std::uint64_t socket_security_params_changes() {
    return stored().changes;
}

std::uint64_t socket_security_params_load() {
    return stored().loads;
}

socket_security_param get_socket_security_params() {
    return stored().params;
}

}  // namespace orbl
