#!/usr/bin/env bash
# Checks what `cmake --install` of the 32-bit build hands to a test station:
#   1. a C program compiled for i686 with MinGW against the installed talven.h, taking the
#      address of every operation, links against the installed libtalven.dll.a and imports each
#      operation from talven.dll under its decorated name;
#   2. the same operations, declared as an MSVC compiler sees them, link with lld-link against
#      the installed talven.lib and import the same names.
#   tools/check_import_libs.sh <install-dir> [expected-exports.txt]
set -uo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 <install-dir> [expected-exports.txt]" >&2
  exit 2
fi
dist=$(cd "$1" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
expected=${2:-$root/build/linux/talven-exports.txt}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { echo "PASS: import libraries: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL: import libraries: $1"; failed=$((failed + 1)); }

# The decorated names, "_Name@N", sorted.
awk '$2 ~ /^_/ { print $2 }' "$expected" | sort >"$work/names"
count=$(wc -l <"$work/names")

# 1. MinGW: a C11 program against the installed header and import library.
{
  echo '#include "talven.h"'
  echo 'typedef void (*operation)(void);'
  echo 'static const operation operations[] = {'
  sed -E 's/^_([A-Za-z0-9_]+)@[0-9]+$/  (operation)\&\1,/' "$work/names"
  echo '};'
  echo 'int main(void) { return (int)(sizeof operations / sizeof operations[0]) == '"$count"' ? 0 : 1; }'
} >"$work/client.c"
if i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -pedantic -I"$dist" "$work/client.c" \
  -L"$dist" -ltalven -o "$work/client.exe" 2>"$work/gcc.log"; then
  pass "C client compiles against talven.h and links against libtalven.dll.a"
  i686-w64-mingw32-objdump -p "$work/client.exe" |
    awk '/DLL Name: talven.dll/ { on = 1; next } /DLL Name:/ { on = 0 } on && NF >= 3 && $3 ~ /^_|^VB_/ { print $3 }' |
    sort >"$work/mingw-imports"
  if diff -q "$work/names" "$work/mingw-imports" >/dev/null; then
    pass "C client imports all $count operations from talven.dll by decorated name"
  else
    fail "C client's imports from talven.dll differ: $(diff "$work/names" "$work/mingw-imports" | head -n 4 | tr '\n' ' ')"
  fi
else
  fail "C client does not build: $(head -n 3 "$work/gcc.log" | tr '\n' ' ')"
fi

# 2. MSVC: stdcall declarations as cl.exe would emit them, linked by lld-link.
if [[ ! -f $dist/talven.lib ]]; then
  fail "talven.lib is not installed"
elif ! command -v clang >/dev/null || ! command -v lld-link >/dev/null; then
  fail "clang and lld-link are needed (run tools/setup.sh)"
else
  {
    while IFS= read -r decorated; do
      name=${decorated#_}
      bytes=${name##*@}
      name=${name%@*}
      params=$(printf 'int,%.0s' $(seq 1 $((bytes / 4))))
      echo "__declspec(dllimport) void __stdcall ${name}(${params%,});"
    done <"$work/names"
    echo 'int __stdcall start(void) {'
    while IFS= read -r decorated; do
      name=${decorated#_}
      bytes=${name##*@}
      name=${name%@*}
      args=$(printf '0,%.0s' $(seq 1 $((bytes / 4))))
      echo "  ${name}(${args%,});"
    done <"$work/names"
    echo '  return 0;'
    echo '}'
  } >"$work/msvc.c"
  if clang --target=i686-pc-windows-msvc -c "$work/msvc.c" -o "$work/msvc.obj" 2>"$work/clang.log" &&
    lld-link /nologo /nodefaultlib /entry:start /subsystem:console "$work/msvc.obj" \
      "$dist/talven.lib" "/out:$work/msvc.exe" >"$work/lld.log" 2>&1; then
    pass "MSVC-style client links against talven.lib"
    llvm-readobj --coff-imports "$work/msvc.exe" | awk '$1 == "Symbol:" { print $2 }' |
      sort >"$work/msvc-imports"
    if diff -q "$work/names" "$work/msvc-imports" >/dev/null; then
      pass "MSVC-style client imports all $count operations by decorated name"
    else
      fail "MSVC-style client's imports differ: $(diff "$work/names" "$work/msvc-imports" | head -n 4 | tr '\n' ' ')"
    fi
  else
    fail "MSVC-style client does not link: $(cat "$work/clang.log" "$work/lld.log" | head -n 3 | tr '\n' ' ')"
  fi
fi

echo "import libraries: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
