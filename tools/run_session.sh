#!/usr/bin/env bash
# Builds the Linux library and runs the example test session against the built-in simulated
# adapter. The exit code is the session's.
#   TALVEN_DEBUG_ECHO=1          echo the library's debug strings to stderr
#   TALVEN_SIM_EEPROM=<file>     keep the simulated adapter's EEPROM in <file> between runs
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh
cmake --preset linux
cmake --build --preset linux -j2

set +e
build/linux/examples/talven_session "$@"
status=$?
set -e
echo "talven_session exited with $status"
exit "$status"
