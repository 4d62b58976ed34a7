#!/usr/bin/env bash
# Runs the 64-bit talven.dll under Wine (the 32-bit one cannot run on this kernel): builds
# tests/wine/smoke.c with MinGW-w64, and in a fresh Wine prefix loads the DLL by name, resolves
# every export by name and ordinal and calls the operations that need no adapter.
#   tools/check_wine.sh <x86_64 talven.dll> [expected-exports.txt]
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dll=$1
expected=${2:-$root/build/linux/talven-exports.txt}
wine=/usr/lib/wine/wine64
if [[ ! -x $wine ]]; then
  echo "FAIL: wine: $wine not found (run tools/setup.sh)"
  exit 1
fi
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

cp "$dll" "$work/talven.dll"
cp "$expected" "$work/exports.txt"
if ! x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -o "$work/smoke.exe" \
  "$root/tests/wine/smoke.c" 2>"$work/gcc.log"; then
  echo "FAIL: wine: smoke.c does not build: $(head -n 2 "$work/gcc.log" | tr '\n' ' ')"
  exit 1
fi
"$wine" wineboot -i >/dev/null 2>&1
cd "$work" && timeout 120 "$wine" smoke.exe exports.txt 2>/dev/null | tr -d '\r'
