#!/usr/bin/env bash
# Checks that every export of the 32-bit talven.dll removes its own arguments, as stdcall
# requires: each return instruction in the code of _Name@N is "ret $N" (N = 4 times the argument
# count, from the decorated name), and each VB_ alias either returns the same way or hands over
# to its operation with a tail jump, arguments and result untouched.
#   tools/check_stdcall.sh <talven.dll> [expected-exports.txt]
# Reads the disassembly of i686-w64-mingw32-objdump; the DLL keeps its symbol table.
set -uo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 <talven.dll> [expected-exports.txt]" >&2
  exit 2
fi
dll=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
expected=${2:-$root/build/linux/talven-exports.txt}

if [[ ! -f $dll || ! -f $expected ]]; then
  echo "FAIL: i686 stdcall: missing $dll or $expected"
  echo "0 passed, 1 failed"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
i686-w64-mingw32-objdump -d --no-show-raw-insn "$dll" >"$work/disasm"

# One line per function body: "<symbol> <instruction>" for every ret and jmp, so that the checks
# below read each function's exits. A body runs from its label to the next blank line; the
# compiler's ".cold" split-off parts are folded into their function.
awk '
  /^[0-9a-f]+ <.*>:$/ { sym = $2; gsub(/[<>:]/, "", sym); sub(/\.cold$/, "", sym); next }
  /^$/ { sym = ""; next }
  sym != "" && $2 ~ /^ret/ { print sym, "ret", ($3 == "" ? "$0x0" : $3) }
  sym != "" && $2 == "jmp" && $4 ~ /^</ { t = $4; gsub(/[<>]/, "", t); print sym, "jmp", t }
' "$work/disasm" >"$work/exits"

passed=0
failed=0
while read -r _ name; do
  [[ $name == _* ]] || continue  # decorated names; their aliases are checked alongside
  bytes=${name##*@}
  base=${name#_}
  base=${base%@*}
  want=$(printf '$0x%x' "$bytes")
  for sym in "$name" "_VB_${base}@${bytes}"; do
    rets=$(awk -v s="$sym" '$1 == s && $2 == "ret" { print $3 }' "$work/exits" | sort -u)
    jumps=$(awk -v s="$sym" '$1 == s && $2 == "jmp" { print $3 }' "$work/exits" | sort -u)
    bad=$(grep -vxF -- "$want" <<<"$rets" | grep -v '^$')
    if ! grep -q "^$sym " "$work/exits"; then
      echo "FAIL: $sym: no code found"
      failed=$((failed + 1))
    elif [[ -n $bad ]]; then
      echo "FAIL: $sym: returns with $(tr '\n' ' ' <<<"$bad")instead of ret $want"
      failed=$((failed + 1))
    elif [[ -z $rets && $sym == _VB_* && $jumps != "$name" ]]; then
      echo "FAIL: $sym: neither returns nor jumps to $name"
      failed=$((failed + 1))
    elif [[ -z $rets && $sym != _VB_* && -z $jumps ]]; then
      echo "FAIL: $sym: no return instruction"
      failed=$((failed + 1))
    else
      echo "PASS: $sym: removes its $bytes argument bytes"
      passed=$((passed + 1))
    fi
  done
done <"$expected"

echo "i686 stdcall: $passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
