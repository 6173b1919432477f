// The seed source of the static OpenSSL on Windows. OpenSSL is built to
// seed its generator through BCryptGenRandom (scripts/build-openssl-mingw.sh)
// rather than through CryptoAPI, whose provider DLL loads CRYPT32 and others
// by name, from the host's directory first where a planted copy may lie.
// The function is defined here, so that libcrypto does not import bcrypt.dll
// (not a KnownDLL everywhere) either: the bytes come from RtlGenRandom in
// ADVAPI32, which the library imports anyway. No DLL is loaded for them.
#include <windows.h>
#include <ntsecapi.h>

#include <ctime>

// Certificate times are checked with time_t: a 32-bit one ends in 2038. The
// library and OpenSSL are both built with msvcrt's 64-bit time functions.
static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits (__MINGW_USE_VC2005_COMPAT)");

namespace {

constexpr LONG status_success = 0;
constexpr LONG status_unsuccessful = static_cast<LONG>(0xC0000001);
constexpr LONG status_invalid_parameter = static_cast<LONG>(0xC000000D);
constexpr ULONG use_system_preferred_rng = 0x00000002;

}  // namespace

// The system's preferred generator is all OpenSSL asks for: no algorithm
// handle, that flag. Anything else is refused rather than served wrongly.
extern "C" LONG WINAPI BCryptGenRandom(void* algorithm, PUCHAR buffer, ULONG size, ULONG flags) {
    if (algorithm != nullptr || flags != use_system_preferred_rng || (!buffer && size != 0))
        return status_invalid_parameter;
    return size == 0 || ::RtlGenRandom(buffer, size) ? status_success : status_unsuccessful;
}
