#!/bin/sh
# Cross-builds quel2cln.dll and the test suite for 32-bit Windows with
# MinGW-w64, then runs the suite under Wine (the PE checks of the DLL
# included).
#
#   scripts/build-windows.sh [build-dir]      # default: build-windows
#   QUEL2CLN_NO_TESTS=1 scripts/build-windows.sh   # build only
#
# Needs g++-mingw-w64-i686 and, for the tests, googletest (sources in
# /usr/src/googletest), wine and wine32:i386; scripts/install-deps.sh
# installs them. The DLL is <build-dir>/quel2cln.dll, its import library
# <build-dir>/libquel2cln.dll.a.
set -eu
cd "$(dirname "$0")/.."

build=${1:-build-windows}
jobs=${JOBS:-$(nproc)}
tests=ON
[ "${QUEL2CLN_NO_TESTS:-0}" = 1 ] && tests=OFF

set -- -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32-i686.cmake \
    -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" -DQUEL2CLN_TESTS=$tests
# Static OpenSSL for the Windows build, built once and cached, when the
# tree has a TLS layer that needs it.
if [ -f cmake/tls.cmake ] && [ -f scripts/build-openssl-mingw.sh ]; then
    set -- "$@" -DQUEL2CLN_OPENSSL_MINGW_DIR="$(sh scripts/build-openssl-mingw.sh)"
fi

cmake -S . -B "$build" "$@"
cmake --build "$build" -j"$jobs"
if [ $tests = ON ]; then
    ctest --test-dir "$build" --output-on-failure -j"$jobs"
fi
