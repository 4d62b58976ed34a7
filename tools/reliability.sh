#!/usr/bin/env bash
# The reliability runs of tools/test.sh: the whole Linux suite (failure sweep included) under
# AddressSanitizer and UndefinedBehaviorSanitizer, the tests labelled "threads" under
# ThreadSanitizer, and a short run of the driver-answer fuzz target from its corpus. Prints
# "== ... FAILED" for a run that fails and exits non-zero then.
#   FUZZ_SECONDS=60 (default) sets the fuzz run's budget; bash tools/fuzz.sh runs a longer one.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

status=0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Every program of the Linux build is built instrumented. The bindings' checks are left out
# here: they load libtalven.so into Python and Mono, whose uninstrumented processes cannot host
# the sanitizer runtime; they run in the plain build above.
echo "== tests: linux-asan (AddressSanitizer + UndefinedBehaviorSanitizer, whole suite)"
if ! { cmake --preset linux-asan >/dev/null &&
  cmake --build --preset linux-asan -j2 &&
  ctest --test-dir build/linux-asan --output-on-failure --parallel 2 --no-tests=error \
    -LE bindings; }; then
  echo "== AddressSanitizer tests FAILED"
  status=1
fi

echo "== tests: linux-tsan (label threads)"
if ! { cmake --preset linux-tsan >/dev/null &&
  cmake --build --preset linux-tsan -j2 --target talven_tests win32_subset_tests &&
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/linux-tsan --output-on-failure \
    --parallel 2 -L threads --no-tests=error; }; then
  echo "== ThreadSanitizer tests FAILED"
  status=1
fi

# tools/test.sh sets RELIABILITY_FUZZ=0 and runs the fuzz beside its DLL checks instead.
if [[ "${RELIABILITY_FUZZ:-1}" != 0 ]]; then
  echo "== fuzz: driver answers (${FUZZ_SECONDS:-60} s from tests/fuzz/corpus)"
  if ! FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash tools/fuzz.sh; then
    echo "== fuzz run FAILED"
    status=1
  fi
fi

# The benchmarks are built (not run) by the linux preset; the bench preset builds them for
# measuring.
exit "$status"
