#!/bin/sh
# Checks the built quel2cln.dll with objdump:
#   format   a PE32 (i386) DLL
#   imports  only KERNEL32, WS2_32, msvcrt and ADVAPI32: no MinGW runtime
#            DLL, no USER32 or GDI32 (a service would be tied to the GUI
#            subsystem; under the Win32k lockdown the DLL would not load),
#            and no DLL that is not a KnownDLL (CRYPT32 and the like are
#            loaded from System32 at run time instead)
#   exports  exactly the eight functions, by their plain names
#
#   scripts/check-dll.sh format|imports|exports path/to/quel2cln.dll [objdump]
set -eu

check=$1
dll=$2
objdump=${3:-i686-w64-mingw32-objdump}

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
    bad=""
    for name in $imports; do
        case $name in
        kernel32.dll | ws2_32.dll | msvcrt.dll | advapi32.dll) ;;
        *) bad="$bad $name" ;;
        esac
    done
    echo "imports:" $imports
    [ -z "$bad" ] || fail "imports DLLs other than KERNEL32, WS2_32, msvcrt and ADVAPI32:$bad"
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
*)
    fail "unknown check: $check"
    ;;
esac
