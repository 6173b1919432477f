#!/bin/sh
# Checks the Windows release zip: the files a host needs are there, text
# files have Windows line endings, the README's links resolve in the zip and
# its list of imported DLLs is the DLL's, quel2cln.pc works from wherever
# the zip is unpacked, no file names a build path, the version resources
# carry the zip's version and NOTICE's OpenSSL version, and the sample
# quel2cln.ini holds every key of the README's settings table with its
# default, in its section. With QUELMAR_STUB, a host linked in Visual C++
# mode against quel2cln.lib runs under Wine too (msvc.sh).
#
#   zip.sh RELEASE.zip README.md [QUELMAR_STUB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
readme=$2
stub=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cmake -E tar xf "$zip")
top=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
failures=0
for f in bin/quel2cln.dll bin/qm2.exe bin/quel2cln.ini include/quel2cln.h lib/quel2cln.def \
         lib/libquel2cln.dll.a lib/quel2cln.lib lib/pkgconfig/quel2cln.pc README.md LICENSE NOTICE \
         CHANGELOG.md licenses/OpenSSL.txt licenses/MinGW-w64.txt licenses/GCC-runtime.txt \
         licenses/nlohmann-json.txt licenses/quel2cln-copyright.txt \
         bindings/README.md bindings/vb6/Quel2Cln.bas; do
    if [ ! -s "$top/$f" ]; then
        echo "missing or empty in the zip: $f" >&2
        failures=$((failures + 1))
    fi
done
fail() {
    echo "$*" >&2
    failures=$((failures + 1))
}
grep -q '^## Errors a host can see' "$top/README.md" || fail "README.md in the zip lacks the host's sections"
! grep -q 'scripts/' "$top/README.md" || fail "README.md in the zip describes the build"

# Text files end their lines with CR LF, each of them.
find "$top" -type f \( -name '*.md' -o -name '*.txt' -o -name '*.ini' -o -name '*.def' -o -name '*.h' \
    -o -name '*.pc' -o -name '*.cmake' -o -name LICENSE -o -name NOTICE \) >"$work/texts"
while read -r f; do
    [ "$(grep -c "$(printf '\r')\$" "$f")" = "$(wc -l <"$f")" ] || fail "$f has lines without CR LF"
done <"$work/texts"

# Relative links of the README name files in the zip.
grep -o '](\([^)#:]*\))' "$top/README.md" | sed 's/^](//; s/)$//' | sort -u | while read -r link; do
    [ -e "$top/$link" ] || echo "$link"
done >"$work/broken"
[ ! -s "$work/broken" ] || fail "README.md links what the zip lacks:" $(cat "$work/broken")

# The README's list of imported DLLs is the DLL's own.
listed=$(tr -d '\r' <"$top/README.md" | sed -n 's/.*imports only the system DLLs \([^.]*\)\..*/\1/p' |
    tr ' A-Z' '\na-z' | grep . | sort)
actual=$(i686-w64-mingw32-objdump -p "$top/bin/quel2cln.dll" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr 'A-Z' 'a-z' | sed 's/\.dll$//' | sort -u)
[ -n "$listed" ] && [ "$listed" = "$actual" ] || fail "README lists imports '$listed', the DLL has '$actual'"

# quel2cln.pc from the unpacked zip: a MinGW host builds with it.
pc_flags=$(PKG_CONFIG_PATH="$top/lib/pkgconfig" pkg-config --cflags --libs quel2cln) ||
    fail "pkg-config cannot read quel2cln.pc"
# shellcheck disable=SC2086 # pkg-config prints separate words
i686-w64-mingw32-gcc -o "$work/consumer.exe" "$here/consumer.c" $pc_flags ||
    fail "a host does not build with quel2cln.pc's flags ($pc_flags)"

sh "$here/no-build-paths.sh" "$top" || failures=$((failures + 1))

# Version resources: the zip's version; the DLL's names NOTICE's OpenSSL.
version=$(basename "$zip" | sed -n 's/^quel2cln-\(.*\)-win32\.zip$/\1/p')
openssl=$(tr -d '\r' <"$top/NOTICE" | sed -n 's/.*links in OpenSSL \([0-9][^ ]*\)\.$/\1/p')
[ -n "$openssl" ] || fail "NOTICE does not name the OpenSSL version linked in"
sh "$here/../../scripts/check-dll.sh" version "$top/bin/quel2cln.dll" i686-w64-mingw32-objdump \
    "$version" "$openssl" || failures=$((failures + 1))
sh "$here/../../scripts/check-dll.sh" version "$top/bin/qm2.exe" i686-w64-mingw32-objdump \
    "$version" || failures=$((failures + 1))

if [ -n "$stub" ]; then
    bash "$here/msvc.sh" "$top" "$stub" || fail "the Visual C++ mode host failed"
fi

# Rows "| Section | Key | Default | ..." of the table under "## Configuration";
# a default of "empty" is an empty value.
awk -F'|' '/^## /{inside = ($0 ~ /^## Configuration/)} inside && NF > 5 {
        gsub(/ /, "", $2); gsub(/ /, "", $3); gsub(/ /, "", $4)
        if ($2 != "Section" && $2 !~ /^-+$/) print $2, $3, ($4 == "empty" ? "" : $4)
    }' "$readme" >"$work/keys"
[ -s "$work/keys" ] || { echo "no settings table found in $readme" >&2; exit 1; }
while read -r section key default; do
    found=$(awk -v s="[$section]" -v k="$key" '
        {sub(/\r$/, "")}
        /^\[/ {inside = ($0 == s)}
        inside && index($0, k "=") == 1 {print substr($0, length(k) + 2)}' "$top/bin/quel2cln.ini" | tr -d '\r')
    if [ "$found" != "$default" ]; then
        echo "quel2cln.ini: [$section] $key is '$found', the README's default is '$default'" >&2
        failures=$((failures + 1))
    fi
done <"$work/keys"
[ "$failures" -eq 0 ] && echo "zip: ok"
