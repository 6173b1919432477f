#!/bin/sh
# Fails when a file under DIR names a path of the build machine: the
# checkout (with its build folders), the OpenSSL cache or the toolchain's
# folders, in ASCII or UTF-16 strings, written with either separator. The
# written documentation (*.md, manual pages) is left out: it may name the
# default cache folder on purpose.
#
#   no-build-paths.sh DIR
set -eu
dir=$1
checkout=$(cd "$(dirname "$0")/../.." && pwd -P)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

find "$dir" -type f ! -name '*.md' ! -path '*/man/*' | sort >"$work/files"
[ -s "$work/files" ] || { echo "no files under $dir" >&2; exit 1; }
status=0
for path in "$checkout" "${OPENSSL_MINGW_CACHE:-/var/cache/quel2cln}" /usr/lib/gcc /usr/lib/gcc-cross \
    /usr/i686-w64-mingw32 /usr/share/mingw-w64; do
    pattern=$(printf '%s' "$path" | sed 's/[][\\.*^$]/\\&/g; s|/|[/\\\\]|g')
    while read -r file; do
        if { strings -a "$file"; strings -a -el "$file"; } | grep -q -- "$pattern"; then
            echo "$file names $path" >&2
            status=1
        fi
    done <"$work/files"
done
[ $status -eq 0 ] && echo "no build paths: $(wc -l <"$work/files") files"
exit $status
