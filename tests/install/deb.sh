#!/bin/sh
# Installs the Debian package with dpkg, checks that qm2 runs and that a
# host builds and runs against the installed files (CMake package and
# pkg-config), then removes the package again, also when a check fails.
# Needs root; the package must not be installed before.
#
#   deb.sh PACKAGE.deb
set -eu
here=$(cd "$(dirname "$0")" && pwd)
deb=$1
work=$(mktemp -d)

if dpkg-query -W -f='${Status}' quel2cln 2>/dev/null | grep -q "ok installed"; then
    echo "quel2cln is installed already; remove it first" >&2
    exit 1
fi
cleanup() {
    dpkg --purge quel2cln >/dev/null || echo "could not remove quel2cln" >&2
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# dpkg -i does not fetch dependencies; the build machine has them.
dpkg -i "$deb"
qm2 --help | grep -q "usage: qm2"
command -v quelmar-stub >/dev/null
for f in README.md tools.md protocol.md; do
    [ -f "/usr/share/doc/quel2cln/$f" ] || { echo "missing /usr/share/doc/quel2cln/$f" >&2; exit 1; }
done
for f in README.md pascal/Quel2Cln.pas csharp/Quel2Cln.cs python/quel2cln.py; do
    [ -f "/usr/share/quel2cln/bindings/$f" ] || { echo "missing /usr/share/quel2cln/bindings/$f" >&2; exit 1; }
done
sh "$here/consumer.sh" "$work/consumer" --system
echo "deb: ok"
