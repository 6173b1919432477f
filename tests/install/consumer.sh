#!/bin/sh
# Builds and runs the consumer host twice against installed quel2cln files:
# once through find_package(quel2cln), once through pkg-config.
#
#   consumer.sh WORK_DIR BUILD_DIR   install BUILD_DIR into WORK_DIR/prefix first
#   consumer.sh WORK_DIR --system    use what is installed on the system
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$1
rm -rf "$work"
mkdir -p "$work"

if [ "$2" = --system ]; then
    prefix=/usr
else
    prefix=$work/prefix
    cmake --install "$2" --prefix "$prefix" >"$work/install.log"
    PKG_CONFIG_PATH=$(find "$prefix" -name quel2cln.pc -exec dirname {} \;)
    export PKG_CONFIG_PATH
    # No pause between the consumer's connection tries.
    printf '[Connect]\nPause=0\n' >"$(pkg-config --variable=libdir quel2cln)/quel2cln.ini"
    # The installed qm2 loads the prefix's library through its run path,
    # not the build folder's.
    libdir=$(cd "$(pkg-config --variable=libdir quel2cln)" && pwd -P)
    "$prefix/bin/qm2" --version | grep -q "^library $libdir/libquel2cln\.so\." ||
        { echo "installed qm2 does not load $libdir/libquel2cln.so:" $("$prefix/bin/qm2" --version) >&2; exit 1; }
fi

cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log"
cmake --build "$work/cmake" >"$work/build.log"
"$work/cmake/consumer"

# shellcheck disable=SC2046 # pkg-config prints separate words
cc -o "$work/consumer-pc" "$here/consumer.c" $(pkg-config --cflags --libs quel2cln)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir quel2cln) "$work/consumer-pc"
