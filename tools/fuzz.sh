#!/usr/bin/env bash
# Builds the driver-answer fuzz target (preset fuzz: clang, libFuzzer, ASan + UBSan) and runs it
# from the corpus in tests/fuzz/corpus for FUZZ_SECONDS (default 60), first replaying every
# crash input kept in tests/fuzz/regressions. New inputs go to build/fuzz/corpus, never into
# the repository.  A longer run:  FUZZ_SECONDS=1800 bash tools/fuzz.sh
#                       or by count:  FUZZ_RUNS=1000000 bash tools/fuzz.sh
# libFuzzer's leak check after every input is off (it costs more than the input); the target
# checks the Win32 subset's heap blocks, handles, keys and misuse counters after each input.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target talven_fuzz_driver_answers
fuzzer=build/fuzz/tests/fuzz/talven_fuzz_driver_answers
export ASAN_OPTIONS=malloc_context_size=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if compgen -G "tests/fuzz/regressions/*" >/dev/null; then
  "$fuzzer" tests/fuzz/regressions/* 2>&1 | tail -n 2
fi
mkdir -p build/fuzz/corpus
limit=(-max_total_time="${FUZZ_SECONDS:-60}")
[[ -n "${FUZZ_RUNS:-}" ]] && limit=(-runs="$FUZZ_RUNS")
log=build/fuzz/last-run.log
set +e
"$fuzzer" "${limit[@]}" -detect_leaks=0 -max_len=256 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/corpus >"$log" 2>&1
rc=$?
set -e
grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Test unit written)' \
  "$log" || true
[[ $rc -eq 0 ]] || tail -n 40 "$log"
exit "$rc"
