#pragma once
// End-to-end fixture: a fresh copy of the built library, loaded by path from
// its own temporary directory, initialised against a loopback test server.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/loaded_library.h"
#include "support/test_server.h"
#include "support/wire.h"

namespace qtest {

// Short time-outs keep the failing paths fast: 3 attempts as at load, no
// real pause between connection tries.
extern const char* const fast_ini;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override;

    // Replaces the library by a fresh copy with `ini` (none when null),
    // initialised against the server unless `init` is false.
    void reload(const char* ini, bool init = true);

    // Requests the server has received so far.
    std::vector<Request> requests() const { return server.requests(); }

    TestServer server;
    std::unique_ptr<LoadedLibrary> lib;
};

}  // namespace qtest
