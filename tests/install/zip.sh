#!/bin/sh
# Checks the Windows release zip: the files a host needs are there, and the
# sample quel2cln.ini holds every key of the README's settings table with
# its default, in its section.
#
#   zip.sh RELEASE.zip README.md
set -eu
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
readme=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cmake -E tar xf "$zip")
top=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
failures=0
for f in bin/quel2cln.dll bin/qm2.exe bin/quel2cln.ini include/quel2cln.h lib/quel2cln.def \
         lib/libquel2cln.dll.a README.md licenses/OpenSSL.txt licenses/MinGW-w64.txt \
         licenses/GCC-runtime.txt bindings/README.md bindings/vb6/Quel2Cln.bas; do
    if [ ! -s "$top/$f" ]; then
        echo "missing or empty in the zip: $f" >&2
        failures=$((failures + 1))
    fi
done
grep -q '^## Errors a host can see' "$top/README.md" ||
    { echo "README.md in the zip lacks the host's sections" >&2; failures=$((failures + 1)); }

# Rows "| Section | Key | Default | ..." of the table under "## Configuration";
# a default of "empty" is an empty value.
awk -F'|' '/^## /{inside = ($0 ~ /^## Configuration/)} inside && NF > 5 {
        gsub(/ /, "", $2); gsub(/ /, "", $3); gsub(/ /, "", $4)
        if ($2 != "Section" && $2 !~ /^-+$/) print $2, $3, ($4 == "empty" ? "" : $4)
    }' "$readme" >"$work/keys"
[ -s "$work/keys" ] || { echo "no settings table found in $readme" >&2; exit 1; }
while read -r section key default; do
    found=$(awk -v s="[$section]" -v k="$key" '
        /^\[/ {inside = ($0 == s)}
        inside && index($0, k "=") == 1 {print substr($0, length(k) + 2)}' "$top/bin/quel2cln.ini" | tr -d '\r')
    if [ "$found" != "$default" ]; then
        echo "quel2cln.ini: [$section] $key is '$found', the README's default is '$default'" >&2
        failures=$((failures + 1))
    fi
done <"$work/keys"
[ "$failures" -eq 0 ] && echo "zip: ok"
