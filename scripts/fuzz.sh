#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang-16 and libc++, AddressSanitizer
# + UndefinedBehaviorSanitizer) in build/fuzz, writes their seeds (varnel's own
# output and the conformance codestreams of tests/data) and runs each target
# for SECONDS (default 60) with the marker dictionary, from those seeds, the
# committed corpus and the saved regressions. Fails on any finding (crash,
# sanitizer report, timeout, over-allocation); the input is left in
# build/fuzz/findings/<target>/ and named in the output.
#   scripts/fuzz.sh [SECONDS] [TARGET...]    targets: chunk codestream packet block zfp
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(chunk codestream packet block zfp)
build=build/fuzz

CC=clang-16 CXX=clang++-16 cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/seeds"
find tests/data/htj2k-conformance/codestreams -type f \( -name '*.j2c' -o -name '*.j2k' -o -name '*.jhc' \) \
  -size -64k -print0 | sort -z | xargs -0 "$build/fuzz_seeds" "$build/seeds"

# Limits: a single allocation above 512 MiB counts as a finding (the targets
# skip outputs above 64 MiB, whose size is the caller's choice); 2 GiB in all;
# 10 s per input.
failed=()
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t findings=$build/findings/$t log=$build/fuzz_$t.log
  mkdir -p "$corpus" "$findings"
  dirs=("$corpus" "$build/seeds/$t")
  for d in fuzz/corpus/$t tests/data/fuzz-regressions/$t; do [ -d "$d" ] && dirs+=("$d"); done
  echo "== fuzz_$t, ${seconds} s"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$build/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 \
       -dict=fuzz/htj2k.dict -artifact_prefix="$findings/" -print_final_stats=1 "${dirs[@]}" >"$log" 2>&1; then
    grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::average_exec_per_sec" "$log" || true
  else
    failed+=("$t")
    grep -E "ERROR|SUMMARY|runtime error|Test unit written|==[0-9]+==" "$log" | head -20 || true
    echo "fuzz_$t FAILED: log $log, input(s): $(ls "$findings")"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "== fuzzing: no findings"
