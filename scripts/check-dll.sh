#!/bin/sh
# Checks the built quel2cln.dll with objdump:
#   format   a PE32 (i386) DLL
#   imports  only KERNEL32, WS2_32, msvcrt and ADVAPI32: no MinGW runtime
#            DLL, no USER32 or GDI32 (a service would be tied to the GUI
#            subsystem; under the Win32k lockdown the DLL would not load),
#            and no DLL that is not a KnownDLL (CRYPT32 and the like are
#            loaded from System32 at run time instead); and no 32-bit time
#            function of msvcrt (time, gmtime, _stat and the like): a 32-bit
#            time_t ends in 2038, and certificate times are checked with it
#   exports  exactly the eight functions, by their plain names
#   paths    no path of the build machine in the stripped file: not the
#            checkout, the build folder (the file's own), the OpenSSL cache
#            or the toolchain's folders (ASCII and UTF-16 strings)
#   version  a version resource (read back with python3-pefile): FileVersion
#            and ProductVersion VERSION, OriginalFilename the file's name,
#            ProductName and FileDescription set, and for the DLL the
#            version of the OpenSSL it links in named in Comments
# paths and version work on qm2.exe too.
#
#   scripts/check-dll.sh format|imports|exports|paths FILE [objdump]
#   scripts/check-dll.sh version FILE [objdump] VERSION [OPENSSL_VERSION]
set -eu

check=$1
dll=$2
objdump=${3:-i686-w64-mingw32-objdump}
here=$(cd "$(dirname "$0")" && pwd)
# The only DLLs quel2cln.dll may import. The release zip's README quotes
# this line.
allowed_imports="KERNEL32 WS2_32 msvcrt ADVAPI32"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ -f "$dll" ] || fail "no such file: $dll"
headers=$("$objdump" -p "$dll") || fail "objdump could not read $dll"

case $check in
format)
    echo "$headers" | grep -q "file format pei-i386" || fail "not a PE32 i386 image"
    echo "$headers" | grep -Eq "^Magic[[:space:]]+010b" || fail "not a PE32 (32-bit) optional header"
    # The characteristics flags are listed one per line, indented.
    echo "$headers" | sed -n '/^Characteristics/,/^[[:space:]]*$/p' | grep -Eq "^[[:space:]]+DLL$" ||
        fail "not a DLL"
    echo "PE32 i386 DLL"
    ;;
imports)
    imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    [ -n "$imports" ] || fail "no import table found"
    allowed=$(echo "$allowed_imports" | tr 'A-Z' 'a-z')
    bad=""
    for name in $imports; do
        echo " $allowed " | grep -q " ${name%.dll} " || bad="$bad $name"
    done
    echo "imports:" $imports
    [ -z "$bad" ] || fail "imports DLLs other than $allowed_imports:$bad"
    # The functions listed under msvcrt.dll, up to the next DLL's entry.
    crt=$(echo "$headers" | awk '
        /DLL Name:/ { in_crt = (tolower($NF) == "msvcrt.dll"); next }
        in_crt && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print $NF }')
    time32=""
    for name in $crt; do
        case $name in
        time | gmtime | localtime | mktime | ctime | difftime | _mkgmtime | \
            _time32 | _gmtime32 | _localtime32 | _mktime32 | _mkgmtime32 | _ctime32 | \
            _difftime32 | _stat | _stat32 | _wstat | _wstat32 | _fstat | _fstat32 | \
            _stati64 | _wstati64 | _fstati64 | _stat32i64 | _wstat32i64 | _fstat32i64 | \
            _utime | _utime32 | _wutime | _wutime32 | _futime | _futime32 | _findfirst | \
            _findnext | _wfindfirst | _wfindnext | _findfirst32 | _findnext32)
            time32="$time32 $name" ;;
        esac
    done
    [ -z "$time32" ] || fail "imports 32-bit time functions from msvcrt:$time32"
    echo "time functions:" $(echo "$crt" | grep -E '^_?(time|gmtime|localtime|mktime|stat|fstat|wstat)' || true)
    ;;
exports)
    # The name table lists "[ordinal] name" lines after its heading.
    exports=$(echo "$headers" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^[[:space:]]*$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
    expected=$(printf '%s\n' qm2_CalcAutoInc qm2_Done qm2_ExecSQL qm2_GetAutoInc qm2_Init \
        qm2_LastError qm2_Lock qm2_SaveResult | sort)
    echo "exports:" $exports
    [ "$exports" = "$expected" ] || fail "the exports are not exactly the eight functions"
    ;;
paths)
    strip=$(echo "$objdump" | sed 's/objdump$/strip/')
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    "$strip" -o "$work/stripped" "$dll" || fail "$strip could not strip $dll"
    { strings -a "$work/stripped"; strings -a -el "$work/stripped"; } >"$work/strings"
    checkout=$(cd "$here/.." && pwd -P)
    build=$(cd "$(dirname "$dll")" && pwd -P)
    found=""
    for path in "$checkout" "$build" "${OPENSSL_MINGW_CACHE:-/var/cache/quel2cln}" \
        ${QUEL2CLN_OPENSSL_MINGW_DIR:+"$QUEL2CLN_OPENSSL_MINGW_DIR"} \
        /usr/lib/gcc /usr/lib/gcc-cross /usr/i686-w64-mingw32 /usr/share/mingw-w64 /usr/include; do
        # Either separator: a path may have been written the Windows way.
        pattern=$(printf '%s' "$path" | sed 's/[][\\.*^$]/\\&/g; s|/|[/\\\\]|g')
        if grep -q -- "$pattern" "$work/strings"; then
            found="$found $path"
        fi
    done
    [ -z "$found" ] || fail "$dll names paths of the build machine:$found"
    echo "no build paths"
    ;;
version)
    [ $# -ge 4 ] || fail "version needs the expected version"
    # Debian's python3, which python3-pefile belongs to, before any other.
    python=/usr/bin/python3
    [ -x "$python" ] || python=python3
    "$python" - "$dll" "$4" "${5:-}" <<'PY' || fail "version resource of $dll"
import os, sys
import pefile

path, version, openssl = sys.argv[1:4]
pe = pefile.PE(path)
strings = {}
for info in getattr(pe, "FileInfo", None) or []:
    for entry in info:
        for table in getattr(entry, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
if not strings:
    sys.exit("no version resource")
expected = {"FileVersion": version, "ProductVersion": version,
            "OriginalFilename": os.path.basename(path), "ProductName": "quel2cln"}
bad = [f"{k}={strings.get(k)!r} (expected {v!r})" for k, v in expected.items() if strings.get(k) != v]
if not strings.get("FileDescription"):
    bad.append("no FileDescription")
if openssl and f"OpenSSL {openssl}" not in strings.get("Comments", ""):
    bad.append(f"Comments={strings.get('Comments')!r} does not name OpenSSL {openssl}")
fixed = pe.VS_FIXEDFILEINFO[0]
numbers = f"{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xffff}.{fixed.FileVersionLS >> 16}"
if numbers != version:
    bad.append(f"fixed file version {numbers}")
if bad:
    sys.exit("; ".join(bad))
print("version resource:", ", ".join(f"{k}={v}" for k, v in sorted(strings.items())))
PY
    ;;
*)
    fail "unknown check: $check"
    ;;
esac
