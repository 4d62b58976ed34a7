#!/usr/bin/env bash
# Builds what the example test session needs (the Linux library with its simulated adapter, the
# session and talvenctl: preset "session", in build/session) and runs the session against the
# built-in simulated adapter. Installs only the packages that build needs (tools/setup.sh
# session); the tests, the DLLs and their tools are tools/test.sh's. The exit code is the
# session's.
#   TALVEN_DEBUG_ECHO=1          echo the library's debug strings to stderr
#   TALVEN_SIM_EEPROM=<file>     keep the simulated adapter's EEPROM in <file> between runs
#   --talvenctl                  afterwards, show the station tool (talvenctl) on it
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh session
cmake --preset session >/dev/null
cmake --build --preset session -j2

# --talvenctl: afterwards, show the station tool on the simulated adapter.
show_tool=0
args=()
for arg in "$@"; do
  if [[ $arg == --talvenctl ]]; then show_tool=1; else args+=("$arg"); fi
done

set +e
build/session/examples/talven_session "${args[@]}"
status=$?
set -e
echo "talven_session exited with $status"
if [[ $show_tool -eq 1 ]]; then
  echo "== talvenctl on the simulated adapter"
  tool=build/session/talvenctl/talvenctl
  state=$(mktemp)
  rm -f "$state"
  "$tool" --sim-state "$state" info
  "$tool" --sim-state "$state" mac set 02:5B:A7:00:00:01
  "$tool" --sim-state "$state" --json mac show
  rm -f "$state"
fi
exit "$status"
