#!/usr/bin/env bash
# Builds the Linux library and runs the example test session against the built-in simulated
# adapter. The exit code is the session's.
#   TALVEN_DEBUG_ECHO=1          echo the library's debug strings to stderr
#   TALVEN_SIM_EEPROM=<file>     keep the simulated adapter's EEPROM in <file> between runs
#   --talvenctl                  afterwards, show the station tool (talvenctl) on it
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh
cmake --preset linux
cmake --build --preset linux -j2

# --talvenctl: afterwards, show the station tool on the simulated adapter.
show_tool=0
args=()
for arg in "$@"; do
  if [[ $arg == --talvenctl ]]; then show_tool=1; else args+=("$arg"); fi
done

set +e
build/linux/examples/talven_session "${args[@]}"
status=$?
set -e
echo "talven_session exited with $status"
if [[ $show_tool -eq 1 ]]; then
  echo "== talvenctl on the simulated adapter"
  tool=build/linux/talvenctl/talvenctl
  state=$(mktemp)
  rm -f "$state"
  "$tool" --sim-state "$state" info
  "$tool" --sim-state "$state" mac set 02:5B:A7:00:00:01
  "$tool" --sim-state "$state" --json mac show
  rm -f "$state"
fi
exit "$status"
