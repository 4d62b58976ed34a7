#!/usr/bin/env bash
# Loads the virtual adapter (talven_vadapter.sys, x86_64) under Wine and checks that it answers:
# in the Wine prefix build/wine-driver (made once, then reused) it starts its own persistent
# wineserver, copies the driver into system32\drivers, installs it as service NORVAKS, starts it,
# runs `vadapter_tool smoke` (control device, CTL_RESET, the adapter's DOS name defined by the
# caller, an OID query answered and logged, held, delayed and cancelled requests), leaves three
# requests pended, stops the service (the driver unloads and ends them), starts and checks it
# once more, and stops that wineserver.
#   tools/check_driver_wine.sh [mingw-x86_64 build folder]
# Prints one "PASS: ..." or "FAIL: ..." line a check; exits non-zero on any failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/mingw-x86_64}
sys=$build/virtual_adapter/talven_vadapter.sys
tool=$build/virtual_adapter/vadapter_tool.exe
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$root/build/wine-driver WINEDEBUG=-all
logs=$root/build/wine-driver-logs

fail() {
  echo "FAIL: driver (wine): $1"
  exit 1
}
[[ -x $wine && -x $wineserver ]] || fail "$wine not found (run tools/setup.sh)"
[[ -f $sys ]] || fail "$sys missing (cmake --build --preset mingw-x86_64)"
[[ -f $tool ]] || fail "$tool missing (cmake --build --preset mingw-x86_64)"
mkdir -p "$logs"

# One run of the tool under Wine; its output goes to a file (never a pipe: services keep it open).
run_tool() {
  local name=$1
  shift
  timeout 120 "$wine" "$WINEPREFIX/drive_c/vadapter_tool.exe" "$@" >"$logs/$name.out" \
    2>"$logs/$name.err" </dev/null
  local rc=$?
  tr -d '\r' <"$logs/$name.out"
  return $rc
}

"$wineserver" -k >/dev/null 2>&1 # a wineserver left behind by an interrupted run of this prefix
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  start=$(date +%s)
  if ! timeout 300 "$wine" wineboot -i >"$logs/wineboot.log" 2>&1 </dev/null; then
    fail "wineboot -i failed (see $logs/wineboot.log)"
  fi
  echo "note: new Wine prefix $WINEPREFIX in $(($(date +%s) - start)) s"
  # Right after wineboot -i a fresh wineserver is needed, or services fail to start (1060).
  "$wineserver" -k >/dev/null 2>&1
fi
"$wineserver" -p >/dev/null 2>&1 </dev/null || fail "wineserver -p failed"
trap '"$wineserver" -k >/dev/null 2>&1' EXIT

cp "$sys" "$WINEPREFIX/drive_c/windows/system32/drivers/talven_vadapter.sys" ||
  fail "cannot copy the driver into the prefix"
cp "$tool" "$WINEPREFIX/drive_c/vadapter_tool.exe" || fail "cannot copy vadapter_tool.exe"

status=0
run_tool install install talven_vadapter.sys || status=1
run_tool start start || status=1
run_tool smoke smoke || status=1
# Unload with requests pended (held, due later, cancel ignored) and load again: the stop must end
# them, and the second load proves the unload released the devices and the link.
run_tool leave-pending leave-pending || status=1
started=$(date +%s%N)
run_tool stop stop || status=1
echo "note: the stop with three requests pended took $((($(date +%s%N) - started) / 1000000)) ms"
run_tool unloaded unloaded || status=1
run_tool restart start || status=1
run_tool smoke-again smoke || status=1
run_tool final-stop stop || status=1
run_tool final-unloaded unloaded || status=1
exit $status
