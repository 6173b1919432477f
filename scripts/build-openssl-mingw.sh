#!/bin/sh
# Builds OpenSSL as static libraries for 32-bit Windows (MinGW-w64 i686) from
# Debian's source package and caches the result outside the source tree.
# Idempotent: a finished cache is reused; prints the install prefix on stdout.
#
#   scripts/build-openssl-mingw.sh            # build or reuse, print prefix
#   OPENSSL_MINGW_CACHE=/path scripts/...     # other cache root
#
# Needs: apt-get (with a deb-src entry for Debian's archive, added here when
# missing), dpkg-dev, make, perl and the i686-w64-mingw32 cross compiler.
set -eu

cache_root=${OPENSSL_MINGW_CACHE:-/var/cache/quel2cln}
jobs=${OPENSSL_MINGW_JOBS:-2}
log() { echo "build-openssl-mingw: $*" >&2; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_deb_src() {
    if [ -n "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
        return
    fi
    log "adding a deb-src entry for Debian's archive"
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    as_root sh -c "cat > /etc/apt/sources.list.d/quel2cln-debian-src.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
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

# Newest first; a version listed in the index may be missing from the mirror,
# so the first one that downloads (or is already cached) is used.
versions=$(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -Vru)
[ -n "$versions" ] || { log "no openssl source package found"; exit 1; }
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
# Each set of options gets a folder of its own, so a build with other
# options never replaces one that another checkout still links against.
options_key=$(printf '%s' "$options" | cksum | cut -d' ' -f1)
prefix_of() { echo "$cache_root/openssl-mingw-$1-o$options_key"; }

for v in $versions; do
    if [ "$(cat "$(prefix_of "$v")/.complete" 2>/dev/null)" = "$v $options" ]; then
        prefix_of "$v"
        exit 0
    fi
done

as_root mkdir -p "$cache_root"
work=$(mktemp -d "${TMPDIR:-/tmp}/openssl-mingw.XXXXXX")
trap 'rm -rf "$work"' EXIT
version=
for v in $versions; do
    if (cd "$work" && apt-get source -qq "openssl=$v" >&2); then
        version=$v
        break
    fi
    log "openssl $v could not be fetched, trying an older one"
    rm -rf "$work"/openssl*
done
[ -n "$version" ] || { log "no openssl source could be fetched"; exit 1; }
prefix=$(prefix_of "$version")
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
log "building openssl $version in $src (this takes a while)"

dest="$work/dest"
(
    cd "$src"
    ./Configure $options \
        --cross-compile-prefix=i686-w64-mingw32- \
        --prefix="$prefix" --libdir=lib --openssldir="$prefix/ssl" >&2
    make -j"$jobs" build_libs >&2
    make install_dev DESTDIR="$dest" >&2
)
echo "$version $options" > "$dest$prefix/.complete"
as_root rm -rf "$prefix"
as_root mv "$dest$prefix" "$prefix"
log "installed to $prefix"
echo "$prefix"
