#!/usr/bin/env bash
# Builds all three builds (Linux, 32-bit and 64-bit talven.dll), runs the Linux tests (also under
# the sanitizers, and a short fuzz run), checks both DLLs' export and import tables and runs the
# 32-bit DLL in the x86-32 emulator. Ends with a line "N passed, M failed" for the DLL checks;
# exits non-zero if a build fails, a test fails or a DLL check fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh

status=0
for preset in linux mingw-i686 mingw-x86_64; do
  echo "== configure and build: $preset"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j2; }; then
    echo "== build $preset FAILED"
    status=1
  fi
done

echo "== tests: linux"
if [[ -f build/linux/CTestTestfile.cmake ]] &&
  ctest --test-dir build/linux --output-on-failure --parallel 2 --no-tests=error; then
  :
else
  echo "== ctest FAILED"
  status=1
fi

# The whole suite under ASan + UBSan and the tests labelled "threads" under ThreadSanitizer.
RELIABILITY_FUZZ=0 bash tools/reliability.sh || status=1

# A short fuzz run of the driver answers, on one core beside the DLL checks below (they use
# about one; the fuzz run's budget is wall time).
echo "== fuzz: driver answers (${FUZZ_SECONDS:-60} s from tests/fuzz/corpus), beside the DLL checks"
mkdir -p build
FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash tools/fuzz.sh >build/fuzz.log 2>&1 &
fuzz=$!

echo "== DLL checks"
checks=$(mktemp)
trap 'rm -f "$checks"; kill "$fuzz" 2>/dev/null || true' EXIT
for arch in i686 x86_64; do
  bash tools/check_dll.sh "build/mingw-$arch/talven.dll" "$arch" | tee -a "$checks" || status=1
done
bash tools/check_stdcall.sh build/mingw-i686/talven.dll | tee -a "$checks" | grep -v '^PASS' ||
  true
bash tools/check_wine.sh build/mingw-x86_64/talven.dll | tee -a "$checks" || status=1
# The simulated adapter's device model builds as kernel-driver code (both MinGW compilers).
bash tools/check_device_model.sh | tee -a "$checks" || status=1
# The virtual adapter driver: both builds checked statically, the x86_64 one loaded under Wine.
bash tools/check_driver.sh | tee -a "$checks" || status=1
# What `cmake --install` hands to a test station: the DLL, talven.h and both import libraries
# (with talvenctl.exe, the bindings and the docs), and cpack's zip of it, unpacked and checked
# against its SHA-256 lists.
rm -rf build/mingw-i686/dist build/mingw-i686/package
if cmake --install build/mingw-i686 >/dev/null; then
  bash tools/check_import_libs.sh build/mingw-i686/dist | tee -a "$checks" || status=1
  if (cd build/mingw-i686 && cpack >/dev/null); then
    bash tools/check_dist.sh build/mingw-i686 | tee -a "$checks" || status=1
  else
    echo "FAIL: cpack in build/mingw-i686" | tee -a "$checks"
  fi
else
  echo "FAIL: cmake --install build/mingw-i686" | tee -a "$checks"
fi
# The installed 32-bit talven.dll executed in an x86-32 emulator: every operation by both names at
# two load bases, the stdcall contract after every call, leaks, threads (tools/check_emulator.sh).
bash tools/check_emulator.sh build/mingw-i686/dist/talven.dll >build/emulator.log 2>&1 || status=1
cat build/emulator.log >>"$checks"
grep -v '^PASS: ' build/emulator.log || true
# Windows end to end: talven.dll, the example session and the conformance suite under Wine against
# the kernel-mode virtual adapter (tools/check_windows.sh; tests/windows/README.md).
mkdir -p build/windows-tests
bash tools/check_windows.sh build/mingw-x86_64 >build/windows-tests/check_windows.log 2>&1 || status=1
cat build/windows-tests/check_windows.log >>"$checks"
grep -v '^PASS: ' build/windows-tests/check_windows.log || true
echo "== fuzz: driver answers"
if ! wait "$fuzz"; then
  echo "== fuzz run FAILED"
  status=1
fi
cat build/fuzz.log
passed=$(grep -c '^PASS: ' "$checks" || true)
failed=$(grep -c '^FAIL: ' "$checks" || true)
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]] || status=1
exit "$status"
