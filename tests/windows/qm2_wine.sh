#!/usr/bin/env bash
# Runs the cross-built qm2.exe under Wine against quelmar-stub of the Linux
# build: qm2.exe sits beside quel2cln.dll and its quel2cln.ini in a folder
# of its own and loads the DLL from there. Checks exit status and output of
# a success, a server's refusal, --json, --repeat, --lib, --trace and a
# usage error.
#
#   qm2_wine.sh WINE_RUN QM2_EXE QUEL2CLN_DLL QUELMAR_STUB RULES_JSON
set -euo pipefail
wine_run=$1 qm2_exe=$2 dll=$3 stub=$4 rules=$5

work=$(mktemp -d)
stub_pid=""
cleanup() {
  if [[ -n $stub_pid ]]; then
    kill -TERM "$stub_pid" 2>/dev/null || true
    wait "$stub_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/bin"
cp "$qm2_exe" "$work/bin/qm2.exe"
cp "$dll" "$work/bin/quel2cln.dll"
printf '[Connect]\r\nAttempts=1\r\nPause=0\r\n[Advanced]\r\nSocketTimeout=5000\r\n' >"$work/bin/quel2cln.ini"

exec {stub_out}< <(exec "$stub" --rules "$rules" --journal "$work/journal.jsonl" 2>"$work/stub.log")
stub_pid=$!
if ! read -r -t 20 -u "$stub_out" first_line || [[ $first_line != listening\ * ]]; then
  echo "quelmar-stub did not start" >&2
  cat "$work/stub.log" >&2
  exit 1
fi
port=${first_line##*:}

failures=0
# check EXPECTED_STATUS EXPECTED_OUTPUT_REGEX -- QM2_ARGS...
# The output is standard output and standard error together, without the
# carriage returns of Windows line ends.
check() {
  local expected=$1 pattern=$2 status=0
  shift 3
  "$wine_run" "$work/bin/qm2.exe" "$@" >"$work/out" 2>&1 </dev/null || status=$?
  tr -d '\r' <"$work/out" >"$work/out.txt"
  if [[ $status -ne $expected ]] || ! grep -Eq -- "$pattern" "$work/out.txt"; then
    echo "FAILED: qm2.exe $* -> exit $status (expected $expected), output:" >&2
    cat "$work/out.txt" >&2
    echo "(expected to match: $pattern)" >&2
    failures=$((failures + 1))
  fi
}

server=(--host 127.0.0.1 --port "$port" --timeout 20000)
check 0 '^ok$' -- "${server[@]}" exec shop "UPDATE stock SET qty = 1" demo
check 1 '^qm2: error: statements that drop tables are not allowed$' -- \
  "${server[@]}" exec shop "DROP TABLE stock" demo
check 0 '^\{"command":"get-auto-inc","ok":true,"no_value":false,"value":1001\}$' -- \
  "${server[@]}" --json get-auto-inc shop orders id
check 0 '"count":3,"failures":0' -- "${server[@]}" --json --repeat 3 get-auto-inc shop lines id
check 0 '^ok$' -- "${server[@]}" --lib 'Z:'"${work//\//\\}"'\bin\quel2cln.dll' exec shop x demo
check 1 '^qm2: error: cannot load library: ' -- "${server[@]}" --lib missing.dll exec shop x demo
check 2 '^qm2: ' -- --no-such-option exec shop x demo
# The DLL's version, read from its version resource.
check 0 '^library .*\\quel2cln\.dll [0-9]+\.[0-9]+\.[0-9]+$' -- --version
check 1 'connection refused' -- --host 127.0.0.1 --port 1 exec shop x demo
# --trace reaches the DLL through the environment; the DLL appends to the file.
check 0 '^ok$' -- "${server[@]}" --trace 'Z:'"${work//\//\\}"'\trace.log' exec shop traced demo
if ! grep -q ' request type=ExecSQL size=[0-9]* text1\[4\]="shop" text2\[6\]="traced"' "$work/trace.log"; then
  echo "FAILED: no trace of the request in $work/trace.log" >&2
  failures=$((failures + 1))
fi

# The calls that got as far as the server: 5 single ones and 3 repeated.
requests=$(wc -l <"$work/journal.jsonl")
if [[ $requests -ne 8 ]]; then
  echo "FAILED: the stub received $requests requests, expected 8" >&2
  failures=$((failures + 1))
fi
[[ $failures -eq 0 ]]
