#!/bin/sh
# Builds OpenSSL as static libraries for 32-bit Windows (MinGW-w64 i686) and
# caches the result outside the source tree. Idempotent: a finished cache is
# reused; prints the install prefix on stdout.
#
#   scripts/build-openssl-mingw.sh            # build or reuse, print prefix
#   OPENSSL_MINGW_CACHE=/path scripts/...     # other cache root
#   QUEL2CLN_OPENSSL_VERSION=3.0.20 scripts/...   # an older version on purpose
#
# The version is the newest one the machine's apt source index lists for the
# openssl source package, or the one QUEL2CLN_OPENSSL_VERSION names (a
# Debian version such as 3.0.20-1~deb12u2, or the upstream version alone,
# 3.0.20). It is built from Debian's source package when the mirror has all of it; when
# only the upstream tarball downloads, that tarball is built after its
# SHA-256 has been checked against the index (Debian's patches are then left
# out: they fit OpenSSL to Debian's system, and their security fixes are
# upstream). Anything else is an error: no other version is tried.
#
# The prefix holds SOURCE, one line naming the upstream version and what it
# was built from; the release zip's NOTICE quotes it.
#
# Needs: apt-get with deb-src entries (derived here from the machine's own
# apt sources when there are none), dpkg-dev, make, perl and the
# i686-w64-mingw32 cross compiler.
set -eu

cache_root=${OPENSSL_MINGW_CACHE:-/var/cache/quel2cln}
jobs=${OPENSSL_MINGW_JOBS:-2}
log() { echo "build-openssl-mingw: $*" >&2; }
fail() { log "$*"; exit 1; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Prints deb-src twins of the machine's "deb" entries that serve the openssl
# package, in the format each was written in: deb822 stanzas from *.sources
# files (fd 3), one-line entries from *.list files (fd 4). The archive
# addresses, suites and keys are the machine's own.
derive_deb_src() {
    uris=$(apt-cache policy openssl |
        awk '$1 ~ /^[0-9]+$/ && $2 ~ /:\/\// {sub(/\/$/, "", $2); print $2}' | sort -u)
    [ -n "$uris" ] || fail "no apt source serves the openssl package"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v uris="$uris" '
            function flush(   i, u, n, list, hit) {
                if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled !~ /^[ \t]*no/) {
                    n = split(uri_value, list, /[ \t]+/)
                    for (i = 1; i <= n; i++) { u = list[i]; sub(/\/$/, "", u); if (u != "" && index("\n" uris "\n", "\n" u "\n")) hit = 1 }
                    if (hit) { print "Types: deb-src"; printf "%s", body; print "" }
                }
                types = ""; enabled = ""; uri_value = ""; body = ""
            }
            /^#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^Types:/ { types = substr($0, 7); next }
            /^Enabled:/ { enabled = substr($0, 9); next }
            /^URIs:/ { uri_value = substr($0, 6) }
            { body = body $0 "\n" }
            END { flush() }' "$f" >&3
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v uris="$uris" '
            $1 == "deb" {
                i = 2; if ($2 ~ /^\[/) while ($i !~ /\]$/) i++
                u = (i == 2 && $2 !~ /^\[/) ? $2 : $(i + 1); sub(/\/$/, "", u)
                if (index("\n" uris "\n", "\n" u "\n")) { sub(/^deb/, "deb-src"); print }
            }' "$f" >&4
    done
}

ensure_deb_src() {
    if [ -n "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
        return
    fi
    tmp=$(mktemp -d)
    derive_deb_src 3>"$tmp/sources" 4>"$tmp/list"
    [ -s "$tmp/sources" ] || [ -s "$tmp/list" ] || fail "found no apt source to derive a deb-src entry from"
    log "adding deb-src entries for the apt sources that serve openssl"
    for kind in sources list; do
        if [ -s "$tmp/$kind" ]; then
            as_root cp "$tmp/$kind" "/etc/apt/sources.list.d/quel2cln-deb-src.$kind"
            as_root chmod 644 "/etc/apt/sources.list.d/quel2cln-deb-src.$kind"
        fi
    done
    rm -rf "$tmp"
    as_root apt-get update -qq >&2
}

ensure_tools() {
    missing=
    command -v dpkg-source >/dev/null 2>&1 || missing="$missing dpkg-dev"
    command -v make >/dev/null 2>&1 || missing="$missing make"
    command -v perl >/dev/null 2>&1 || missing="$missing perl"
    command -v i686-w64-mingw32-gcc >/dev/null 2>&1 ||
        missing="$missing gcc-mingw-w64-i686"
    if [ -n "$missing" ]; then
        log "installing$missing"
        as_root apt-get install -y -qq $missing >&2
    fi
}

ensure_deb_src
ensure_tools

index=$(apt-cache showsrc openssl)
versions=$(echo "$index" | sed -n 's/^Version: //p' | sort -Vru)
[ -n "$versions" ] || fail "no openssl source package found"
wanted=${QUEL2CLN_OPENSSL_VERSION:-}
version=
if [ -z "$wanted" ]; then
    version=$(echo "$versions" | head -n 1)
else
    for v in $versions; do
        u=${v#*:}
        if [ "$v" = "$wanted" ] || [ "${u%-*}" = "$wanted" ]; then
            version=$v
            break
        fi
    done
    [ -n "$version" ] || fail "QUEL2CLN_OPENSSL_VERSION=$wanted is not in the source index (it lists:" $versions")"
fi
# The upstream version: no epoch, no Debian revision.
upstream=${version#*:}
upstream=${upstream%-*}
orig=openssl_$upstream.orig.tar.gz
# The SHA-256 of the upstream tarball, from the index's entry of this version.
orig_sha256=$(echo "$index" | awk -v v="$version" -v f="$orig" '
    /^Version: / {inside = ($2 == v)}
    /^Checksums-Sha256:/ {sums = 1; next}
    /^[^ ]/ {sums = 0}
    inside && sums && $3 == f {print $1; exit}')
[ -n "$orig_sha256" ] || fail "the source index has no SHA-256 of $orig for openssl $version"

# The options the libraries are built with; a cached build made with other
# options is built again.
#   no-asm        the i386 assembler modules do not assemble for this target
#                 with Debian's patches (PIC relocations); C is fast enough
#   no-pinshared  OpenSSL must not pin the module it is linked into, or
#                 FreeLibrary could never unload quel2cln.dll
#   no-capieng    no CryptoAPI engine: it is never used, and it is what
#                 makes libcrypto import CRYPT32
#   -DOPENSSL_SYS_WIN_CORE  OPENSSL_isservice and OPENSSL_showfatal without
#                 window stations or message boxes, so nothing imports USER32
#                 (a service would be tied to the GUI subsystem, and a
#                 process under the Win32k lockdown could not load the DLL)
#   -D__MINGW_USE_VC2005_COMPAT  a 64-bit time_t (msvcrt's _time64 family):
#                 with the default 32-bit one, certificate times are wrong
#                 after 2038-01-19; quel2cln is compiled with it as well
#   -DUSE_BCRYPTGENRANDOM  the seed source calls BCryptGenRandom instead of
#                 CryptoAPI, whose provider DLL loads further DLLs by name;
#                 quel2cln.dll defines that function itself (from
#                 RtlGenRandom), so libcrypto imports no bcrypt.dll either
options="mingw no-shared no-tests no-asm no-pinshared no-capieng -DOPENSSL_SYS_WIN_CORE -D__MINGW_USE_VC2005_COMPAT -DUSE_BCRYPTGENRANDOM"
# The folders compiled into the libraries as the places of OpenSSL's
# configuration, engines and providers. quel2cln loads none of them; still
# they name a folder below Program Files, which only administrators can
# create, rather than the build machine's cache (a folder under C:\ that
# any user could create on a Windows machine).
windows_dir="C:/Program Files/quel2cln/openssl"
openssldir="$windows_dir/ssl"
enginesdir="$windows_dir/engines-3"
modulesdir="$windows_dir/ossl-modules"
# Each set of options gets a folder of its own, so a build with other
# options never replaces one that another checkout still links against.
settings="$options|$openssldir|$enginesdir|$modulesdir"
options_key=$(printf '%s' "$settings" | cksum | cut -d' ' -f1)
prefix="$cache_root/openssl-mingw-$version-o$options_key"

if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$version $settings" ] && [ -s "$prefix/SOURCE" ]; then
    log "reusing openssl $upstream in $prefix"
    echo "$prefix"
    exit 0
fi

as_root mkdir -p "$cache_root"
work=$(mktemp -d "${TMPDIR:-/tmp}/openssl-mingw.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt-get fetches what it can: the upstream tarball may be there when
# Debian's files of the same version are not.
if ! (cd "$work" && apt-get source --download-only -qq "openssl=$version" >&2); then
    log "Debian's files of openssl $version could not all be fetched"
fi
[ -f "$work/$orig" ] || fail "the upstream tarball $orig of openssl $version could not be fetched"
actual=$(sha256sum "$work/$orig" | cut -d' ' -f1)
[ "$actual" = "$orig_sha256" ] ||
    fail "$orig: SHA-256 $actual, the source index says $orig_sha256"
dsc=$(find "$work" -maxdepth 1 -name "openssl_*.dsc" | head -n 1)
src="$work/src"
if [ -n "$dsc" ] && ls "$work"/openssl_*.debian.tar.* >/dev/null 2>&1; then
    (cd "$work" && dpkg-source -x "$dsc" "$src" >&2)
    built_from="Debian source package openssl $version"
else
    log "building the upstream tarball of openssl $upstream without Debian's patches"
    mkdir "$src"
    tar -xzf "$work/$orig" -C "$src" --strip-components=1
    built_from="upstream tarball $orig (SHA-256 $actual, checked against the apt source index), without Debian's patches"
fi
# The source must be the version it was fetched as.
source_version=$(sed -n 's/^MAJOR=//p; s/^MINOR=//p; s/^PATCH=//p' "$src/VERSION.dat" | paste -sd. -)
[ "$source_version" = "$upstream" ] || fail "the source is openssl $source_version, not $upstream"
log "building openssl $upstream from the $built_from (this takes a while)"

dest="$work/dest"
(
    cd "$src"
    ./Configure $options \
        --cross-compile-prefix=i686-w64-mingw32- \
        --prefix="$prefix" --libdir=lib >&2
    make -j"$jobs" build_libs \
        "OPENSSLDIR=$openssldir" "ENGINESDIR=$enginesdir" "MODULESDIR=$modulesdir" >&2
    make install_dev DESTDIR="$dest" >&2
)
echo "OpenSSL $upstream, built from the $built_from" > "$dest$prefix/SOURCE"
echo "$version $settings" > "$dest$prefix/.complete"
as_root rm -rf "$prefix"
as_root mv "$dest$prefix" "$prefix"
log "installed to $prefix"
echo "$prefix"
