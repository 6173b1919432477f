#!/usr/bin/env bash
# The demo: builds qm2, quelmar-stub and the library, starts the stub on a
# free loopback port with tools/demo/rules.json, and runs a qm2 session
# against it: every operation succeeding, one error reply from the server,
# one field list refused by the library, one lock denied with its text.
#
#   scripts/demo.sh                      install what is missing, build into build-demo, run
#   scripts/demo.sh --prebuilt BUILDDIR  run with the programs of an existing build
#
# Exits 0 when every step gave the expected result, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_dir=""
if [[ $# -ge 1 ]]; then
  if [[ $1 == --prebuilt && $# -eq 2 ]]; then
    build_dir=$2
  else
    echo "usage: scripts/demo.sh [--prebuilt BUILDDIR]" >&2
    exit 2
  fi
fi

if [[ -z $build_dir ]]; then
  QUEL2CLN_NO_WINDOWS=1 scripts/install-deps.sh
  build_dir=$root/build-demo
  echo "== building into $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQUEL2CLN_TESTS=OFF >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target qm2 quelmar-stub >/dev/null
fi
[[ -d $build_dir ]] || { echo "demo: $build_dir is missing" >&2; exit 1; }
build_dir=$(cd "$build_dir" && pwd)  # the commands shown work from any directory
qm2=$build_dir/tools/qm2
stub=$build_dir/tools/quelmar-stub
rules=tools/demo/rules.json
for program in "$qm2" "$stub"; do
  [[ -x $program ]] || { echo "demo: $program is missing" >&2; exit 1; }
done

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
trap 'exit 130' INT TERM

# The stub's first line names the port it got.
exec {stub_out}< <(exec "$stub" --rules "$rules" --journal "$work/journal.jsonl" 2>"$work/stub.log")
stub_pid=$!
if ! read -r -t 20 -u "$stub_out" first_line || [[ $first_line != listening\ * ]]; then
  echo "demo: quelmar-stub did not start" >&2
  cat "$work/stub.log" >&2
  exit 1
fi
address=${first_line#listening }
port=${address##*:}
echo "== quelmar-stub: $first_line (rules: $rules)"

failures=0
# step EXPECTED_EXIT DESCRIPTION -- QM2_ARGS...
step() {
  local expected=$1 description=$2
  shift 3
  echo
  echo "-- $description"
  # The command shown is the one run, so that it can be copied while the
  # stub is up.
  local command=("$qm2" --host 127.0.0.1 --port "$port" --timeout 10000 "$@")
  printf '$'
  local arg
  for arg in "${command[@]}"; do
    if [[ $arg =~ ^[A-Za-z0-9_./:=@%+,-]+$ ]]; then
      printf ' %s' "$arg"
    else
      printf " '%s'" "${arg//\'/\'\\\'\'}"
    fi
  done
  echo
  local status=0
  "${command[@]}" 2>&1 || status=$?
  if [[ $status -eq $expected ]]; then
    echo "[exit $status]"
  else
    echo "[exit $status, expected $expected]  <-- unexpected"
    failures=$((failures + 1))
  fi
}

echo
echo "== every operation succeeding"
step 0 "execute SQL" -- exec shop "UPDATE stock SET qty = qty - 1 WHERE id = 7" demo
step 0 "get an auto-increment value (the rules give 1001 for orders)" -- get-auto-inc shop orders id
step 0 "calculate an auto-increment value from a field list" -- calc-auto-inc shop orders id "year:2026, branch:7"
step 0 "save a result" -- save-result shop job-17 done "3 rows" demo
step 0 "take a lock (mode 0)" -- lock shop invoice-1000 0 demo 1
step 0 "check a lock (mode 1)" -- lock shop invoice-1000 1 demo 1
step 0 "release the lock (mode -1)" -- lock shop invoice-1000 -1
step 0 "the same call five times on one connection, as JSON" -- --json --repeat 5 get-auto-inc shop lines id

echo
echo "== failures"
step 1 "the server refuses: an ErrorReply" -- exec shop "DROP TABLE stock" demo
step 1 "the library refuses a field list; nothing is sent" -- calc-auto-inc shop orders id "year:2026,branch"
step 0 "a lock denied, with the server's text" -- lock shop invoice-1001 0 demo 1
step 1 "an invalid lock mode, refused by the library" -- lock shop invoice-1001 5

echo
echo "== what the server received (the stub's journal, one JSON line per request;"
echo "   the refused field list and the invalid lock mode never reached it)"
cat "$work/journal.jsonl"

requests=$(wc -l <"$work/journal.jsonl")
# 7 single calls, 5 repeated ones, the refused DROP and the denied lock.
if [[ $requests -ne 14 ]]; then
  echo "demo: the journal holds $requests requests, expected 14" >&2
  failures=$((failures + 1))
fi

echo
if [[ $failures -ne 0 ]]; then
  echo "== demo FAILED: $failures unexpected results"
  exit 1
fi
echo "== demo finished: every step gave the expected result"
