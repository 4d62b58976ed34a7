#!/usr/bin/env bash
# Static checks of a cross-built talven.dll, read with the MinGW objdump of its architecture:
#   tools/check_dll.sh <talven.dll> <i686|x86_64> [expected-exports.txt]
# The expected list has lines "<ordinal> <name>"; it defaults to the one the Linux build writes
# (build/linux/talven-exports.txt) and is generated from library/exports/operations.h when that build is
# missing. Prints one "PASS: ..." or "FAIL: ..." line a check and exits non-zero on any failure.
set -uo pipefail

if [[ $# -lt 2 || $# -gt 3 ]]; then
  echo "usage: $0 <talven.dll> <i686|x86_64> [expected-exports.txt]" >&2
  exit 2
fi
dll=$1
arch=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
expected=${3:-$root/build/linux/talven-exports.txt}

case $arch in
  i686) format=pei-i386 ;;
  x86_64) format=pei-x86-64 ;;
  *) echo "unknown architecture '$arch' (i686 or x86_64)" >&2; exit 2 ;;
esac
objdump=$arch-w64-mingw32-objdump

# shellcheck source=tools/check_common.sh
source "$root/tools/check_common.sh" "$arch" "$dll"
if ! "$objdump" -p "$dll" >"$work/headers" 2>"$work/errors"; then
  fail "$objdump -p $dll failed: $(head -n 1 "$work/errors")"
  finish
fi

# File format line: "<path>:     file format pei-i386".
if grep -q "file format $format\$" "$work/headers"; then
  pass "file format $format"
else
  fail "file format is not $format: $(grep -m1 'file format' "$work/headers")"
fi

# The export directory: module name, ordinal base, table sizes and the name table.
sed -n '/^The Export Tables/,/^The Function Table\|^PE File Base Relocations\|^There is an import table\|^The Import Tables/p' \
  "$work/headers" >"$work/exports"

name=$(awk '$1 == "Name" && NF >= 3 { print $3; exit }' "$work/exports")
if [[ $name == "talven.dll" ]]; then
  pass "module name talven.dll"
else
  fail "module name is '${name:-<none>}', not talven.dll"
fi

base=$(awk '$1 == "Ordinal" && $2 == "Base" { print $3; exit }' "$work/exports")
if [[ $base == "1" ]]; then
  pass "ordinal base 1"
else
  fail "ordinal base is '${base:-<none>}', not 1"
fi

# Every address-table entry carries a name: no exports by ordinal only, no forwarders.
hex_count() { local value; value=$(awk -v key="$1" 'index($0, key) && NF == 4 { print $4; exit }' "$work/exports"); [[ -n $value ]] && echo $((16#$value)); }
functions=$(hex_count 'Export Address Table')
names=$(hex_count 'Name Pointer/Ordinal] Table')
forwarders=$(grep -c 'Forwarder RVA' "$work/exports")
if [[ -n $functions && $functions == "$names" && $forwarders -eq 0 ]]; then
  pass "$names named exports, none by ordinal only, no forwarders"
else
  fail "address table ${functions:-?} entries, name table ${names:-?}, forwarders $forwarders"
fi

# "[   i] name" lines of the name table; i is the ordinal minus the base.
awk -v base="${base:-1}" '
  /^\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
  in_table && /^\t\[ *[0-9]+\] / {
    line = $0
    sub(/^\t\[ */, "", line)
    index_end = index(line, "]")
    ordinal = substr(line, 1, index_end - 1) + base
    print ordinal, substr(line, index_end + 2)
    next
  }
  in_table && NF == 0 { in_table = 0 }
' "$work/exports" | sort -n >"$work/actual-exports"

if [[ ! -f $expected ]]; then
  # No Linux build: derive the list from the operations table the same way the build does.
  cat >"$work/list.cmake" <<CMAKE
cmake_minimum_required(VERSION 3.25)
include("$root/cmake/ModuleDefinition.cmake")
talven_write_module_definition("$root/exports/operations.h" "$work/expected-exports" names)
CMAKE
  if cmake -P "$work/list.cmake" >/dev/null 2>&1; then
    echo "note: $expected missing, list generated from library/exports/operations.h"
    expected=$work/expected-exports
  fi
fi
if [[ ! -f $expected ]]; then
  fail "expected export list $expected missing"
else
  sort -n "$expected" | sed '/^$/d' >"$work/expected-sorted"
  if diff -u "$work/expected-sorted" "$work/actual-exports" >"$work/export-diff"; then
    pass "exports and ordinals match $(basename "$expected") ($(wc -l <"$work/expected-sorted") names)"
  else
    fail "exports differ from $expected (- expected, + in DLL):"
    sed -n '3,$p' "$work/export-diff" | grep '^[-+]' | head -n 40 | sed 's/^/    /'
  fi
fi

# Imports: the system DLLs the library is written against and the C runtime, nothing else.
grep 'DLL Name:' "$work/headers" | awk '{ print $3 }' >"$work/imports"
unexpected=$(grep -viE '^(kernel32|user32|advapi32|msvcrt)\.dll$|^api-ms-win-crt-[a-z0-9-]+\.dll$' \
  "$work/imports" | tr '\n' ' ')
if [[ ! -s $work/imports ]]; then
  fail "no import table found"
elif [[ -z $unexpected ]]; then
  pass "imports only $(tr '\n' ' ' <"$work/imports")"
else
  fail "unexpected imports: $unexpected"
fi

finish
