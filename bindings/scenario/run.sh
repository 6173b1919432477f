#!/usr/bin/env bash
# Runs one host example against quelmar-stub, answering by rules.json, and
# compares what it prints with expected.txt: every language runs the same
# sequence and must print the same lines.
#
#   run.sh STUB LIBDIR COMMAND [ARGS...]
#
# COMMAND gets the stub's host and port as its last two arguments. LIBDIR
# is put in front of LD_LIBRARY_PATH, where the hosts find libquel2cln.
# Carriage returns are dropped from the output (a Windows host under Wine).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stub=$1
libdir=$2
shift 2

exec {from_stub}< <(exec "$stub" --rules "$here/rules.json")
stub_pid=$!
trap 'kill "$stub_pid" 2>/dev/null || true' EXIT
if ! read -r -t 10 -u "$from_stub" line || [[ $line != listening* ]]; then
  echo "quelmar-stub did not start" >&2
  exit 1
fi
port=${line##*:}

status=0
output=$(LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  timeout 300 "$@" 127.0.0.1 "$port" | tr -d '\r') || status=$?
if ! diff -u "$here/expected.txt" <(printf '%s\n' "$output"); then
  echo "the host's lines differ from expected.txt (above)" >&2
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "the host exited with status $status" >&2
  exit 1
fi
