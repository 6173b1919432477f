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
*)
    fail "unknown check: $check"
    ;;
esac
