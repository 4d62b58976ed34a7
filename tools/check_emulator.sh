#!/usr/bin/env bash
# The 32-bit talven.dll executed: runs i686_emulator's talven_emulator on the DLL (every
# operation by both names at two load bases, the stdcall contract after every call, leak checks,
# seeded thread interleavings, load and unload cycles; see i686_emulator/README.md), and compiles
# the public records of talven.h with the i686 compiler against their pinned 32-bit layout.
#   tools/check_emulator.sh [talven.dll] [emulator]
# Defaults: the installed build/mingw-i686/dist/talven.dll (else build/mingw-i686/talven.dll) and
# build/linux/i686_emulator/talven_emulator. Prints PASS:/FAIL: lines, COUNT: lines and a summary;
# exits non-zero on any failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dll=${1:-$root/build/mingw-i686/dist/talven.dll}
[[ $# -ge 1 || -f $dll ]] || dll=$root/build/mingw-i686/talven.dll
emulator=${2:-$root/build/linux/i686_emulator/talven_emulator}
status=0

if i686-w64-mingw32-gcc -std=c11 -fsyntax-only -Werror -I"$root/include" \
  "$root/i686_emulator/public_layout.c" 2>/tmp/talven_layout.$$; then
  echo "PASS: emulator: talven.h's Adapter, OVERLAPPED and Packet keep their i686 sizes and offsets"
else
  echo "FAIL: emulator: talven.h's 32-bit layout: $(grep -m1 -o 'error: .*' /tmp/talven_layout.$$)"
  status=1
fi
rm -f /tmp/talven_layout.$$

if [[ ! -x $emulator ]]; then
  echo "FAIL: emulator: $emulator missing (build the linux preset; libunicorn-dev from tools/setup.sh)"
  exit 1
fi
if [[ ! -f $dll ]]; then
  echo "FAIL: emulator: $dll missing (build and install the mingw-i686 preset)"
  exit 1
fi
# A run takes a few seconds; a hang is a failure, not a stuck test run.
timeout 120 "$emulator" "$dll" || status=1
exit "$status"
