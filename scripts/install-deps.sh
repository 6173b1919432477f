#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, when it is missing.
# python3, fpc (Free Pascal) and Mono build and run the examples of the host
# kit (bindings/).
# Set QUEL2CLN_NO_WINDOWS=1 to leave out the Windows cross compiler and Wine.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev nlohmann-json3-dev libssl-dev openssl binutils
  pkg-config dpkg-dev libre2-dev strace clang libclang-rt-14-dev valgrind lintian man-db
  python3 fpc mono-mcs mono-runtime)
if [[ "${QUEL2CLN_NO_WINDOWS:-0}" != 1 ]]; then
  # python3-pefile reads the version resources back; clang, lld and llvm
  # link and run a host in Visual C++ mode against quel2cln.lib.
  packages+=(g++-mingw-w64-i686 googletest wine wine32:i386 python3-pefile lld llvm)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
