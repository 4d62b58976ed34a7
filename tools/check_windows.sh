#!/usr/bin/env bash
# Windows end to end under Wine: the 64-bit talven.dll, the example session and the conformance
# program (tests/windows) against the kernel-mode virtual adapter, installed as the packet
# driver's service NORVAKS in a Wine prefix of its own (build/wine-e2e, kept between runs).
# talvenctl.exe is run against the same adapter (tests/windows/talvenctl_wine.py), and against
# a PostgreSQL database through Wine's odbc32 (tests/windows/talvenctl_wine_database.py).
# Prints the programs' PASS:/FAIL: lines and TIMING: lines, then one summary line; exits
# non-zero on any failure, including when Wine cannot run.
#   tools/check_windows.sh [build/mingw-x86_64]
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dll_build=${1:-$root/build/mingw-x86_64}
out=$root/build/windows-tests
prefix=$root/build/wine-e2e
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
started=$(date +%s)

fail() {
  echo "FAIL: windows: $*"
  echo "windows end to end: FAILED ($*)"
  exit 1
}

[[ -x $wine && -x $wineserver ]] || fail "Wine not found ($wine; run tools/setup.sh)"
[[ -f $dll_build/talven.dll && -f $dll_build/libtalven.dll.a ]] ||
  fail "no talven.dll / libtalven.dll.a in $dll_build (build the mingw-x86_64 preset)"
driver=$(ls "$dll_build"/virtual_adapter/*.sys 2>/dev/null | head -n 1)
[[ -n $driver ]] || fail "no virtual adapter driver in $dll_build/virtual_adapter (*.sys)"

# ---- Build the Windows programs (x86_64, static), each object only when its sources changed ----
mkdir -p "$out/obj"
cxx=x86_64-w64-mingw32-g++-win32
command -v $cxx >/dev/null || cxx=x86_64-w64-mingw32-g++
cc=x86_64-w64-mingw32-gcc
flags=(-std=c++17 -O1 -Wall -Wextra -Werror -municode -I"$root" -I"$root/include")
headers=("$root"/tests/windows/*.h "$root"/tests/cases/*.h "$root/virtual_adapter/control_protocol.h"
  "$root/include/talven.h")
objects=()
stale() {  # stale <object> <sources...>: the object is missing or older than a source
  local obj=$1 f
  shift
  [[ -f $obj ]] || return 0
  for f in "$@"; do [[ $f -nt $obj ]] && return 0; done
  return 1
}
# The operation cases are the table the i686 emulator runs too (tests/cases).
for src in "$root"/tests/windows/*.cpp "$root"/tests/cases/*.cpp; do
  obj=$out/obj/$(basename "${src%.cpp}").o
  objects+=("$obj")
  if stale "$obj" "$src" "${headers[@]}"; then
    $cxx "${flags[@]}" -c "$src" -o "$obj" 2>"$out/build.log" || fail "$(basename "$src") does not build: $(head -n 3 "$out/build.log" | tr '\n' ' ')"
  fi
done
$cxx -static -municode -o "$out/talven_wintests.exe" "${objects[@]}" 2>"$out/build.log" ||
  fail "talven_wintests.exe does not link: $(head -n 3 "$out/build.log" | tr '\n' ' ')"
# The example session, unchanged source, linked against the import library.
$cc -std=c11 -O1 -Wall -Wextra -Werror -I"$root/include" -o "$out/talven_session.exe" \
  "$root"/examples/*.c "$dll_build/libtalven.dll.a" 2>"$out/build.log" ||
  fail "the example session does not build: $(head -n 3 "$out/build.log" | tr '\n' ' ')"
cp "$dll_build/talven.dll" "$out/talven.dll"
[[ -f $dll_build/talvenctl/talvenctl.exe ]] ||
  fail "no talvenctl.exe in $dll_build/talvenctl (build the mingw-x86_64 preset)"
cp "$dll_build/talvenctl/talvenctl.exe" "$out/talvenctl.exe"

# ---- The Wine prefix and its persistent wineserver ----
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wineserver" -k >/dev/null 2>&1  # a server left over from an interrupted run
stop_wine() { "$wineserver" -k >/dev/null 2>&1; }
trap stop_wine EXIT
if [[ ! -f $prefix/system.reg ]]; then
  mkdir -p "$prefix"
  timeout 120 "$wine" wineboot -i >"$out/wineboot.log" 2>&1 </dev/null ||
    fail "wineboot -i failed: $(tail -n 2 "$out/wineboot.log" | tr '\n' ' ')"
  "$wineserver" -k >/dev/null 2>&1
fi
"$wineserver" -p || fail "wineserver -p did not start"

run() {  # run <timeout> <output file> <program> [args...]: never through a pipe
  local limit=$1 log=$2
  shift 2
  (cd "$out" && timeout "$limit" "$wine" "$@" >"$log" 2>"$log.err" </dev/null)
}

# ---- The driver and its services ----
drivers=$prefix/drive_c/windows/system32/drivers
mkdir -p "$drivers"
sys=$(basename "$driver")
if ! cmp -s "$driver" "$drivers/$sys"; then
  run 30 "$out/stop.txt" talven_wintests.exe stop NORVAKS
  cp "$driver" "$drivers/$sys"
fi
run 30 "$out/install.txt" talven_wintests.exe install "$sys" ||
  fail "service install: $(tr -d '\r' <"$out/install.txt" | tr '\n' ' ')"

status=0
# ---- The conformance program ----
run 150 "$out/conformance.txt" talven_wintests.exe conformance
rc=$?
tr -d '\r' <"$out/conformance.txt" | grep -E '^(PASS|FAIL): '
summary=$(tr -d '\r' <"$out/conformance.txt" | grep -E '^SUMMARY: ' | tail -n 1)
if [[ -z $summary ]]; then
  echo "FAIL: conformance program ended without its summary (exit $rc; last line: $(tr -d '\r' <"$out/conformance.txt" | tail -n 1))"
  status=1
elif [[ $rc -ne 0 ]] || grep -q '^FAIL: ' <(tr -d '\r' <"$out/conformance.txt"); then
  status=1
fi
conf_pass=$(tr -d '\r' <"$out/conformance.txt" | grep -c '^PASS: ')
conf_fail=$(tr -d '\r' <"$out/conformance.txt" | grep -c '^FAIL: ')

# ---- The control device: who may open it, malformed requests, the unload after them ----
run 120 "$out/control.txt" talven_wintests.exe control
rc=$?
tr -d '\r' <"$out/control.txt" | grep -E '^(PASS|FAIL|NOTE): '
if [[ $rc -ne 0 ]] || ! tr -d '\r' <"$out/control.txt" | grep -q '^SUMMARY: .* 0 failed'; then
  echo "FAIL: control device checks (exit $rc; last line: $(tr -d '\r' <"$out/control.txt" | tail -n 1))"
  status=1
fi

# ---- The example session (the DOS name is defined first: Wine's DefineDosDeviceW is broken) ----
run 30 "$out/link.txt" talven_wintests.exe link
run 60 "$out/session.txt" talven_session.exe
rc=$?
if [[ $rc -eq 0 ]] && tr -d '\r' <"$out/session.txt" | grep -q '^Session passed: 0 check(s) failed$'; then
  echo "PASS: example session end to end ($(tr -d '\r' <"$out/session.txt" | grep -c ': ok$') checks ok)"
else
  echo "FAIL: example session (exit $rc): $(tr -d '\r' <"$out/session.txt" | grep -E 'FAILED|no adapter' | head -n 3 | tr '\n' ' ')"
  status=1
fi

# ---- talvenctl.exe against the same adapter (tests/windows/talvenctl_wine.py) ----
run 30 "$out/link.txt" talven_wintests.exe link
imports=$(x86_64-w64-mingw32-objdump -p "$out/talvenctl.exe" 2>/dev/null)
if grep -q 'timeBeginPeriod' <<<"$imports"; then
  echo "PASS: talvenctl.exe raises the timer resolution (imports timeBeginPeriod)"
else
  echo "FAIL: talvenctl.exe does not import timeBeginPeriod"
  status=1
fi
# The station database through Windows' own odbc32, wide functions only (Wine has no ANSI
# connect); talven.dll itself imports no ODBC (tools/check_dll.sh lists its imports).
if grep -q 'SQLDriverConnectW' <<<"$imports" && ! grep -q 'SQLDriverConnectA' <<<"$imports"; then
  echo "PASS: talvenctl.exe reaches databases through odbc32 (SQLDriverConnectW, no ANSI calls)"
else
  echo "FAIL: talvenctl.exe does not import odbc32's SQLDriverConnectW (or imports SQLDriverConnectA)"
  status=1
fi
timeout 300 /usr/bin/python3 "$root/tests/windows/talvenctl_wine.py" "$out" "$wine" \
  >"$out/talvenctl.txt" 2>&1 </dev/null
rc=$?
grep -E '^(PASS|FAIL): ' "$out/talvenctl.txt"
if [[ $rc -ne 0 ]] || ! grep -q '^talvenctl under Wine: [0-9]* passed, 0 failed' "$out/talvenctl.txt"; then
  echo "FAIL: talvenctl under Wine (exit $rc; last line: $(tail -n 1 "$out/talvenctl.txt"))"
  status=1
fi
grep '^talvenctl under Wine: ' "$out/talvenctl.txt" || true

# ---- talvenctl.exe and a PostgreSQL database, through Wine's odbc32 and the host's unixODBC ----
# (tests/windows/talvenctl_wine_database.py; a server of its own, tools/with_postgres.sh)
run 30 "$out/link.txt" talven_wintests.exe link
bash "$root/tools/with_postgres.sh" timeout 300 /usr/bin/python3 \
  "$root/tests/windows/talvenctl_wine_database.py" "$out" "$wine" \
  "$root/build/linux/talvenctl/talvenctl" >"$out/talvenctl-database.txt" 2>&1 </dev/null
rc=$?
grep -E '^(PASS|FAIL): ' "$out/talvenctl-database.txt"
if [[ $rc -ne 0 ]] ||
  ! grep -q '^talvenctl database under Wine: [0-9]* passed, 0 failed' "$out/talvenctl-database.txt"; then
  echo "FAIL: talvenctl database under Wine (exit $rc; last line: $(tail -n 1 "$out/talvenctl-database.txt"))"
  status=1
fi
grep '^talvenctl database under Wine: ' "$out/talvenctl-database.txt" || true

# ---- Timing against the raw requests ----
run 60 "$out/timing.txt" talven_wintests.exe timing
rc=$?
tr -d '\r' <"$out/timing.txt" | grep -E '^(TIMING|PASS|FAIL): '
if [[ $rc -ne 0 ]] || ! tr -d '\r' <"$out/timing.txt" | grep -q '^PASS: timing, 0 failed'; then
  echo "FAIL: timing run (exit $rc)"
  status=1
fi

stop_wine
elapsed=$(($(date +%s) - started))
if [[ $status -eq 0 ]]; then
  echo "windows end to end: passed ($conf_pass conformance checks, session, timing) in ${elapsed}s"
else
  echo "windows end to end: FAILED ($conf_fail of $((conf_pass + conf_fail)) conformance checks failed; see $out/*.txt) in ${elapsed}s"
fi
exit "$status"
