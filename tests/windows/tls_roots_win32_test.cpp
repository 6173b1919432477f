// The chain engine's network time is bounded per URL (the default is 15 s).
#include <gtest/gtest.h>

#include <cstddef>

#include "components/tls_roots_win32.h"

TEST(TlsRootsWin32, ChainParametersBoundEachUrlRetrieval) {
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA para;
    para.dwUrlRetrievalTimeout = 0xFFFFFFFF;
    orbl::net::set_chain_parameters(para, usages);
    // The engine reads the extra fields only when cbSize covers them.
    EXPECT_GE(para.cbSize, offsetof(CERT_CHAIN_PARA, dwUrlRetrievalTimeout) + sizeof(DWORD));
    EXPECT_GT(para.dwUrlRetrievalTimeout, 0u);
    EXPECT_LE(para.dwUrlRetrievalTimeout, 2500u);
    EXPECT_EQ(para.RequestedUsage.Usage.cUsageIdentifier, 1u);
    EXPECT_EQ(para.RequestedUsage.Usage.rgpszUsageIdentifier, usages);
    EXPECT_EQ(para.fCheckRevocationFreshnessTime, FALSE);
}
