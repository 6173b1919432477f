#!/usr/bin/env bash
# Runs the whole test suite from a fresh clone: installs what is missing,
# builds, runs ctest, then builds and runs the suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Static OpenSSL for the cross-built Windows DLL: built once, then cached
# outside the tree; the cross build takes it from this variable.
if [[ "${QUEL2CLN_NO_WINDOWS:-0}" != 1 ]]; then
  QUEL2CLN_OPENSSL_MINGW_DIR=$(sh scripts/build-openssl-mingw.sh)
  export QUEL2CLN_OPENSSL_MINGW_DIR
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
# The benchmark once, briefly, so that it keeps working; it asserts no speed.
build/bench/quel2cln_bench --quick

# The Windows tests run the cross-built DLL under Wine, outside the
# sanitizers' reach; the sanitizer pass leaves them out.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUEL2CLN_SANITIZE=ON -DQUEL2CLN_WINDOWS_TESTS=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE windows

# A short fuzzing pass over every target (see scripts/fuzz.sh).
scripts/fuzz.sh 20
