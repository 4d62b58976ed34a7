#!/usr/bin/env bash
# Checks that the simulated adapter's device model builds as kernel-driver code: compiles
# simulated_adapter/device_model.cpp with each MinGW-w64 compiler (x86_64, i686) freestanding,
# without exceptions, RTTI or thread-safe statics, and checks the object with nm and objdump:
# its only undefined symbols are memcpy, memset, memcmp and memmove (no operator new, no
# __cxa_*, no _Unwind_*, no libstdc++, no libgcc helpers), and it has no global constructors
# or thread-local data. Prints one "PASS: ..." or "FAIL: ..." line a check; exits non-zero on
# any failure. An optional argument names another source file to check the same way.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source_file=${1:-$root/simulated_adapter/device_model.cpp}
flags=(-std=c++17 -O2 -Wall -Wextra -Werror -ffreestanding -fno-exceptions -fno-rtti
  -fno-threadsafe-statics -mno-stack-arg-probe
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
pass() { echo "PASS: device model: $1"; }
fail() {
  echo "FAIL: device model: $1"
  failed=1
}

for arch in x86_64 i686; do
  cxx=$arch-w64-mingw32-g++
  nm=$arch-w64-mingw32-nm
  objdump=$arch-w64-mingw32-objdump
  object=$work/device_model-$arch.o
  if ! command -v "$cxx" >/dev/null; then
    fail "$arch: $cxx not found (run tools/setup.sh)"
    continue
  fi
  if ! "$cxx" "${flags[@]}" -I "$root" -c "$source_file" -o "$object" 2>"$work/errors"; then
    fail "$arch: does not compile freestanding: $(head -c 2000 "$work/errors")"
    continue
  fi
  pass "$arch: compiles freestanding without exceptions, RTTI or thread-safe statics"

  # i686 symbols carry a leading underscore.
  undefined=$("$nm" -u "$object" | awk '{print $NF}' | sed 's/^_\(mem\)/\1/' | sort -u)
  unexpected=$(grep -Ev '^(memcpy|memset|memcmp|memmove)$' <<<"$undefined" || true)
  if [[ -n $undefined && -z $unexpected ]]; then
    pass "$arch: undefined symbols only $(tr '\n' ' ' <<<"$undefined")"
  else
    fail "$arch: undefined symbols beyond memcpy/memset/memcmp/memmove: $(tr '\n' ' ' <<<"$unexpected")"
  fi

  sections=$("$objdump" -h "$object" | awk '$1 ~ /^[0-9]+$/ {print $2}')
  bad=$(grep -E '^\.(ctors|dtors|init_array|fini_array|tls)' <<<"$sections" || true)
  if [[ -z $bad ]]; then
    pass "$arch: no global constructors or thread-local data"
  else
    fail "$arch: sections a kernel driver cannot run: $(tr '\n' ' ' <<<"$bad")"
  fi
done
exit "$failed"
