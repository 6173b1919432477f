#include "e2e_fixture.h"

namespace qtest {

const char* const fast_ini =
    "[Connect]\n"
    "Attempts=3\n"
    "Pause=1\n"
    "[Advanced]\n"
    "SocketTimeout=200\n"
    "TailTimeout=300\n";

void EndToEnd::SetUp() { reload(fast_ini); }

void EndToEnd::reload(const char* ini, bool init) {
    lib.reset();
    lib = std::make_unique<LoadedLibrary>(QUEL2CLN_LIBRARY_PATH, ini);
    ASSERT_TRUE(lib->ok()) << lib->error();
    if (init) {
        ASSERT_TRUE(lib->Init("127.0.0.1", server.port())) << lib->last_error();
    }
}

}  // namespace qtest
