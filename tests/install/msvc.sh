#!/usr/bin/env bash
# Links msvc_host.c as Visual C++ would (clang --target=i686-pc-windows-msvc,
# lld-link, no C runtime, no MinGW library) against the zip's quel2cln.lib,
# and runs it under Wine beside the zip's quel2cln.dll against quelmar-stub.
#
#   msvc.sh UNPACKED_ZIP_DIR QUELMAR_STUB
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$1 stub=$2
work=$(mktemp -d)
stub_pid=""
cleanup() {
  [[ -z $stub_pid ]] || { kill -TERM "$stub_pid" 2>/dev/null || true; wait "$stub_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

# The few KERNEL32 functions the host calls, as an import library of its own.
printf 'LIBRARY kernel32.dll\nEXPORTS\nGetStdHandle@4\nWriteFile@20\nGetCommandLineA@0\nExitProcess@4\n' \
  >"$work/kernel32.def"
llvm-dlltool -m i386 -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
clang --target=i686-pc-windows-msvc -ffreestanding -fno-builtin -O1 -Wall -Werror \
  -I "$top/include" -c "$here/msvc_host.c" -o "$work/host.obj"
mkdir "$work/bin"
lld-link /nologo /subsystem:console /entry:host_main /nodefaultlib /out:"$work/bin/host.exe" \
  "$work/host.obj" "$top/lib/quel2cln.lib" "$work/kernel32.lib"
cp "$top/bin/quel2cln.dll" "$work/bin/"
printf '[Connect]\r\nAttempts=1\r\nPause=0\r\n' >"$work/bin/quel2cln.ini"

exec {stub_out}< <(exec "$stub" 2>"$work/stub.log")
stub_pid=$!
if ! read -r -t 20 -u "$stub_out" first_line || [[ $first_line != listening\ * ]]; then
  echo "quelmar-stub did not start" >&2
  exit 1
fi
"$here/../../scripts/wine-run.sh" "$work/bin/host.exe" "${first_line##*:}" </dev/null
