#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) in build-fuzz/ and runs each for SECONDS_PER_TARGET (default 20)
# seconds, starting from its seed corpus in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# TARGET is reply, settings, field_list, stub_request or stub_rules (default:
# all). QUEL2CLN_FUZZ_RUNS=N stops a target after N executions instead
# (SECONDS_PER_TARGET 0: no time limit). Prints one line per target,
# "NAME: N executions, K findings", and exits non-zero when any target found
# something; the input that failed is kept in fuzz-findings/<target>/ and the
# fuzzer's output in build-fuzz/logs/<target>.log. New inputs the fuzzer finds
# interesting collect in build-fuzz/corpus/<target>/, outside the tree.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(reply settings field_list stub_request stub_rules)

# Largest input per target: enough for every frame and rules shape the
# targets need, small enough that each input runs in milliseconds.
declare -A max_len=([reply]=16384 [settings]=4096 [field_list]=4096
                    [stub_request]=65536 [stub_rules]=16384)

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUEL2CLN_FUZZ=ON -DQUEL2CLN_TESTS=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >"$build/build.log" 2>&1 ||
  { cat "$build/build.log" >&2; exit 1; }

mkdir -p "$build/logs"
failed=0
for target in "${targets[@]}"; do
  [[ -n "${max_len[$target]:-}" ]] || { echo "unknown fuzz target: $target" >&2; exit 2; }
  findings="fuzz-findings/$target"
  work="$build/corpus/$target"
  log="$build/logs/$target.log"
  mkdir -p "$findings" "$work"
  options=(-max_len="${max_len[$target]}" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10
           -error_exitcode=77 -timeout_exitcode=78 -print_final_stats=1
           -artifact_prefix="$findings/")
  [[ "$seconds" -gt 0 ]] && options+=(-max_total_time="$seconds")
  [[ -n "${QUEL2CLN_FUZZ_RUNS:-}" ]] && options+=(-runs="$QUEL2CLN_FUZZ_RUNS")
  status=0
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$target" "${options[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  count=$(find "$findings" -type f | wc -l)
  # A failure libFuzzer could not save an input for still counts; 72 is an
  # interrupted run (Ctrl-C), not a finding.
  [[ "$status" -ne 0 && "$status" -ne 72 && "$count" -eq 0 ]] && count=1
  echo "$target: ${runs:-0} executions, $count findings"
  if [[ "$count" -ne 0 ]]; then
    failed=1
    echo "  see $log and $findings/" >&2
  else
    rmdir "$findings" 2>/dev/null || true
  fi
done
rmdir fuzz-findings 2>/dev/null || true
exit "$failed"
