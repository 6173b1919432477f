#!/bin/sh
# Checks the Debian package with lintian (no error) and for build paths,
# installs it with dpkg, checks that qm2 runs, finds the library without a
# run path and reports its version, that the manual pages render, the
# documents are there, and that a host builds and runs against the
# installed files (CMake package and pkg-config), then removes the package
# again, also when a check fails. Needs root; the package must not be
# installed before.
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

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
lintian --fail-on error "$deb" >&2 || fail "lintian reports errors"
dpkg-deb -x "$deb" "$work/files"
sh "$here/no-build-paths.sh" "$work/files"

# dpkg -i does not fetch dependencies; the build machine has them.
dpkg -i "$deb"
version=$(dpkg-deb -f "$deb" Version)
qm2 --help | grep -q "usage: qm2"
command -v quelmar-stub >/dev/null
! readelf -d /usr/bin/qm2 | grep -Eq "R(UN)?PATH" || fail "/usr/bin/qm2 has a run path"
qm2 --version >"$work/version" || fail "qm2 --version failed"
grep -qx "qm2 $version" "$work/version" &&
    grep -Eqx "library /usr/lib/[^ ]*/libquel2cln\.so\.$version $version" "$work/version" ||
    fail "qm2 --version: $(cat "$work/version")"
for f in README.md tools.md protocol.md CHANGELOG.md NOTICE copyright changelog.gz examples/quel2cln.ini; do
    [ -f "/usr/share/doc/quel2cln/$f" ] || fail "missing /usr/share/doc/quel2cln/$f"
done
[ -f /usr/share/bash-completion/completions/qm2 ] || fail "no bash completion for qm2"
for page in man1/qm2.1 man1/quelmar-stub.1 man5/quel2cln.ini.5; do
    MANWIDTH=80 man -l --warnings "/usr/share/man/$page.gz" >"$work/page" 2>"$work/warnings" ||
        fail "man -l $page"
    [ -s "$work/page" ] && [ ! -s "$work/warnings" ] || fail "$page: $(cat "$work/warnings")"
done
for f in README.md pascal/Quel2Cln.pas csharp/Quel2Cln.cs python/quel2cln.py; do
    [ -f "/usr/share/quel2cln/bindings/$f" ] || { echo "missing /usr/share/quel2cln/bindings/$f" >&2; exit 1; }
done
sh "$here/consumer.sh" "$work/consumer" --system
echo "deb: ok"
