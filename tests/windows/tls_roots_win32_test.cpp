// The chain engine's network time is bounded per URL (the default is 15 s).
#include <gtest/gtest.h>

#include <cstddef>

#include "components/tls/tls_roots_win32.h"

TEST(TlsRootsWin32, ChainParametersBoundEachUrlRetrieval) {
    CERT_CHAIN_PARA para;
    orbl::net::set_chain_parameters(para, nullptr);
    // The engine reads the extra fields only when cbSize covers them.
    EXPECT_GE(para.cbSize, offsetof(CERT_CHAIN_PARA, dwUrlRetrievalTimeout) + sizeof(DWORD));
    EXPECT_GT(para.dwUrlRetrievalTimeout, 0u);
    EXPECT_LE(para.dwUrlRetrievalTimeout, 2500u);
}
