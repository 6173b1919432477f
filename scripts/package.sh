#!/bin/sh
# Builds the release packages with CPack into packages/:
#   quel2cln_<version>_<arch>.deb   Debian package: library, header, CMake and
#                                   pkg-config files, qm2, quelmar-stub, manual
#                                   pages, bash completion, docs with a sample
#                                   quel2cln.ini, copyright
#   quel2cln-<version>-win32.zip    Windows release zip: quel2cln.dll, header,
#                                   .def, MinGW and Visual C++ import
#                                   libraries, sample quel2cln.ini, qm2.exe,
#                                   README with its documents, LICENSE,
#                                   NOTICE, licence notices (CRLF text files)
# <version> is project(VERSION) in CMakeLists.txt. What goes into each
# package is listed in cmake/package.cmake and cmake/windows-package.cmake.
# QUEL2CLN_NO_WINDOWS=1 leaves out the zip. Builds in build-package and
# build-package-windows, without tests.
set -eu
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc)}
mkdir -p packages

cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUEL2CLN_TESTS=OFF -DQUEL2CLN_WINDOWS_TESTS=OFF
cmake --build build-package -j"$jobs"
(cd build-package && cpack -G DEB)
cp build-package/packages/*.deb packages/

if [ "${QUEL2CLN_NO_WINDOWS:-0}" != 1 ]; then
    set -- -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32-i686.cmake \
        -DCMAKE_BUILD_TYPE=Release -DQUEL2CLN_TESTS=OFF
    if [ -f scripts/build-openssl-mingw.sh ]; then
        set -- "$@" -DQUEL2CLN_OPENSSL_MINGW_DIR="$(sh scripts/build-openssl-mingw.sh)"
    fi
    cmake -S . -B build-package-windows "$@"
    cmake --build build-package-windows -j"$jobs"
    (cd build-package-windows && cpack -G ZIP)
    cp build-package-windows/packages/*.zip packages/
fi
ls -l packages
