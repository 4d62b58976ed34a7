#!/usr/bin/env bash
# Static checks of the cross-built virtual adapter driver, read with the MinGW objdump of its
# architecture:
#   tools/check_driver.sh <talven_vadapter.sys> <i686|x86_64>
#   tools/check_driver.sh     both builds (build/mingw-{i686,x86_64}), then the Wine smoke run
#                             of the x86_64 driver (tools/check_driver_wine.sh)
# A kernel driver: NT native subsystem; imports nothing but ntoskrnl.exe (and HAL.dll on i686,
# where the spin locks live); a base relocation table (the kernel loads drivers anywhere); the
# entry point is DriverEntry (_DriverEntry@8 on i686, stdcall); a correct header checksum; no
# thread-local data and an empty constructor list (nothing runs global constructors in a driver).
# Prints one "PASS: ..." or "FAIL: ..." line a check and exits non-zero on any failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ $# -eq 0 ]]; then
  status=0
  for arch in i686 x86_64; do
    bash "$0" "$root/build/mingw-$arch/virtual_adapter/talven_vadapter.sys" "$arch" || status=1
  done
  bash "$root/tools/check_driver_wine.sh" "$root/build/mingw-x86_64" || status=1
  exit $status
fi
if [[ $# -ne 2 ]]; then
  echo "usage: $0 [<talven_vadapter.sys> <i686|x86_64>]" >&2
  exit 2
fi
sys=$1
arch=$2
case $arch in
  i686) format=pei-i386 entry=_DriverEntry@8 imports_allowed='^(ntoskrnl\.exe|hal\.dll)$' ptr=4 ;;
  x86_64) format=pei-x86-64 entry=DriverEntry imports_allowed='^ntoskrnl\.exe$' ptr=8 ;;
  *) echo "unknown architecture '$arch' (i686 or x86_64)" >&2; exit 2 ;;
esac
objdump=$arch-w64-mingw32-objdump

# shellcheck source=tools/check_common.sh
source "$root/tools/check_common.sh" "driver $arch" "$sys"
if ! "$objdump" -p -h -t "$sys" >"$work/dump" 2>"$work/errors"; then
  fail "$objdump failed: $(head -n 1 "$work/errors")"
  finish
fi

if grep -q "file format $format\$" "$work/dump"; then
  pass "file format $format"
else
  fail "file format is not $format: $(grep -m1 'file format' "$work/dump")"
fi

subsystem=$(awk '$1 == "Subsystem" { print $2, $3, $4; exit }' "$work/dump")
if [[ $subsystem == "00000001 (NT native)" ]]; then
  pass "subsystem NT native"
else
  fail "subsystem is '${subsystem:-<none>}', not 1 (NT native)"
fi

grep 'DLL Name:' "$work/dump" | awk '{ print tolower($3) }' >"$work/imports"
unexpected=$(grep -vE "$imports_allowed" "$work/imports" | tr '\n' ' ')
if [[ ! -s $work/imports ]]; then
  fail "no import table"
elif [[ -z $unexpected ]]; then
  pass "imports only $(tr '\n' ' ' <"$work/imports")"
else
  fail "imports beyond the kernel: $unexpected"
fi
if grep -q '^ntoskrnl\.exe$' "$work/imports"; then
  pass "imports ntoskrnl.exe"
else
  fail "does not import ntoskrnl.exe"
fi

# Section table lines: "  N .name  size  vma  lma  offset  align".
section() { awk -v name="$1" -v field="$2" '$1 ~ /^[0-9]+$/ && $2 == name { print $field; exit }' "$work/dump"; }
reloc_size=$(section .reloc 3)
if [[ -n $reloc_size && $((16#$reloc_size)) -ge 8 ]]; then
  pass ".reloc present ($((16#$reloc_size)) bytes)"
else
  fail "no base relocation table (.reloc)"
fi
tls=$(awk '$1 ~ /^[0-9]+$/ && $2 == ".tls" { print $2 }' "$work/dump")
if [[ -z $tls ]]; then
  pass "no thread-local data"
else
  fail "a .tls section: a driver has no thread-local storage"
fi

# The optional header's checksum over the whole file (the kernel's image loader checks it).
pe_offset=$(od -An -v -tu4 -j 60 -N 4 "$sys" | tr -d ' ')
sum_word=$(((pe_offset + 24 + 64) / 2))
computed=$(od -An -v -tu2 "$sys" | awk -v skip="$sum_word" '
  { for (i = 1; i <= NF; ++i) { if (n != skip && n != skip + 1) { s += $i; s = s % 65536 + int(s / 65536) } ++n } }
  END { s = s % 65536 + int(s / 65536); printf "%x\n", s }')
computed=$(printf '%x' $((16#$computed + $(stat -c %s "$sys"))))
stored=$(awk '$1 == "CheckSum" { print $2; exit }' "$work/dump")
if [[ -n $stored && $((16#$stored)) -eq $((16#$computed)) && $((16#$stored)) -ne 0 ]]; then
  pass "header checksum 0x$computed matches the file"
else
  fail "header checksum 0x${stored:-<none>} is not the file's 0x$computed"
fi

# The entry point (an RVA) against the address of DriverEntry in the symbol table (symbol
# values are offsets into their section; section numbers count from 1).
image_base=$(awk '$1 == "ImageBase" { print $2; exit }' "$work/dump")
entry_rva=$(awk '$1 == "AddressOfEntryPoint" { print $2; exit }' "$work/dump")
symbol_rva() {
  local line sec value vma
  line=$(grep -E "\(sec +[0-9]+\).* 0x[0-9a-f]+ $1\$" "$work/dump" | head -n 1)
  [[ -n $line ]] || return 1
  sec=$(sed -E 's/.*\(sec +([0-9]+)\).*/\1/' <<<"$line")
  value=$(awk '{ print $(NF - 1) }' <<<"$line")
  vma=$(awk -v n="$((sec - 1))" '$1 == n { print $4; exit }' "$work/dump")
  [[ -n $vma ]] || return 1
  printf '%x\n' $((16#$vma - 16#$image_base + value))
}
if [[ -z $entry_rva || -z $image_base ]]; then
  fail "no entry point in the optional header"
elif ! entry_symbol=$(symbol_rva "$entry"); then
  fail "no symbol $entry (is DriverEntry extern \"C\" and NTAPI?)"
elif [[ $((16#$entry_rva)) -eq $((16#$entry_symbol)) ]]; then
  pass "entry point is $entry (RVA 0x$entry_symbol)"
else
  fail "entry point RVA 0x$entry_rva is not $entry (0x$entry_symbol)"
fi

# The constructor list is [-1, 0] when no global constructor exists.
if ctor_rva=$(symbol_rva __CTOR_LIST__); then
  start=$((16#$image_base + 16#$ctor_rva))
  words=$("$objdump" -s --start-address=$start --stop-address=$((start + 2 * ptr)) "$sys" |
    awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5 && i <= NF; ++i) if (length($i) == 8 && $i ~ /^[0-9a-f]+$/) printf "%s", $i }')
  if [[ $words == "$(printf 'f%.0s' $(seq $((2 * ptr))))$(printf '0%.0s' $(seq $((2 * ptr))))" ]]; then
    pass "no global constructors"
  else
    fail "global constructors listed (nothing runs them in a driver): $words"
  fi
else
  pass "no global constructors (no constructor list)"
fi

finish
