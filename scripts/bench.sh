#!/usr/bin/env bash
# Builds and runs the benchmark: the library, loaded by path, against a raw
# client sending the same bytes to the same loopback server, in one run.
# Prints a table of ratios (library / raw); see docs/performance.md.
#
#   scripts/bench.sh            # full run: interleaved rounds, medians
#   scripts/bench.sh --quick    # a few hundred calls: checks that it runs
#   scripts/bench.sh --only TLS # only the cases whose name holds the text
#   scripts/bench.sh --wine [WINDOWS_BUILD] [--quick]
#                               # the DLL under Wine against the same server
#                               # (needs scripts/build-windows.sh first;
#                               # default build-windows)
#
# Build folder: build-bench (BENCH_BUILD overrides). System calls per small
# call are counted with strace when it is installed and allowed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUEL2CLN_WINDOWS_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target quel2cln_bench >/dev/null
if [[ "${1:-}" != --wine ]]; then
  exec "$build/bench/quel2cln_bench" "$@"
fi

windows=${2:-build-windows}
quick=${3:-}
port_file=$(mktemp)
# Server and client on one CPU, as in the Linux run (see docs/performance.md).
cpu=$(( $(nproc) - 1 ))
taskset -c "$cpu" "$build/bench/quel2cln_bench" --serve >"$port_file" &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$port_file"' EXIT
for _ in $(seq 100); do [[ -s $port_file ]] && break; sleep 0.1; done
taskset -c "$cpu" scripts/wine-run.sh "$windows/bench/quel2cln_wine_bench.exe" "$windows/quel2cln.dll" \
  "$(cat "$port_file")" $quick
