// The INI reader and the settings bounds. The input's first two bytes give
// the port and the host the host passes; the rest is quel2cln.ini, written
// beside a module path and read the way qm2_Init reads it. Whatever the file
// holds, the settings must come out inside their bounds and agree with what
// the reader gives for the same text.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "components/files/profile.h"
#include "components/net/socket.h"
#include "connection/settings.h"
#include "protocol/errors.h"

namespace {

const std::string& folder() {
    static const std::string path = [] {
        // Memory-backed where there is one: the file is rewritten per input.
        std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/quel2cln-fuzz-XXXXXX";
        if (!mkdtemp(&name[0])) std::abort();
        return name;
    }();
    return path;
}

void remove_folder() {
    unlink((folder() + "/quel2cln.ini").c_str());
    rmdir(folder().c_str());
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int port = static_cast<std::int8_t>(data[0]) * 1000;
    const std::string host = (data[1] & 1) ? "" : "server";
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    {
        std::ofstream file(folder() + "/quel2cln.ini", std::ios::binary | std::ios::trunc);
        file << text;
    }
    static const int cleanup = std::atexit(remove_folder);
    (void)cleanup;
    const std::string module = folder() + "/libquel2cln.so";

    quel::Settings settings;
    try {
        quel::load_settings(settings, host, port, std::wstring(module.begin(), module.end()));
    } catch (const quel::client_error&) {
        return 0;  // refused with a text of its own: nothing to compare
    }

    check(!settings.host.empty() && settings.port > 0);
    check(settings.attempts >= 1 && settings.attempts <= 10);
    check(settings.pause >= 0 && settings.pause <= 60000);

    // The same file through the reader alone (it decodes a UTF-16 file too).
    const std::string ini_path = folder() + "/quel2cln.ini";
    const orbl::profile ini(std::wstring(ini_path.begin(), ini_path.end()));
    check(settings.security_level == ini.read("Security", "Level", 0));
    check(settings.socket_timeout == ini.read("Advanced", "SocketTimeout", 1000));
    check(settings.tail_timeout == ini.read("Advanced", "TailTimeout", 10000));
    check(orbl::get_socket_security_params().key_password == ini.read_secret("Security", "KeyPswd"));
    return 0;
}
