#!/usr/bin/env bash
# Checks the station's archive of a Windows build, as a station would receive it: the zip that
# cpack makes of dist/ (build/<preset>/package/talven-<version>-win32.zip or -win64.zip).
#   1. the zip's SHA-256 is the one in <zip>.sha256 beside it;
#   2. unpacked, every file's SHA-256 is the one SHA256SUMS.txt lists, and the list names every
#      file of the archive but itself;
#   3. the files a station needs are there: talven.dll, talvenctl.exe, talven.h, the import
#      libraries, the reference, the station guide, the behaviour notes and the bindings;
#   4. the unpacked files are those of dist/ (cmake --install), byte for byte.
#   tools/check_dist.sh <build-dir>     after cmake --install <build-dir> and cpack there
set -uo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 <build-dir>" >&2
  exit 2
fi
build=$1
passed=0
failed=0
pass() { echo "PASS: dist: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL: dist: $1"; failed=$((failed + 1)); }
finish() {
  echo "dist: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit $?
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

zips=("$build"/package/talven-*-win*.zip)
if [[ ${#zips[@]} -ne 1 || ! -f ${zips[0]} ]]; then
  fail "expected one zip in $build/package, found: ${zips[*]}"
  finish
fi
zip=$(cd "$(dirname "${zips[0]}")" && pwd)/$(basename "${zips[0]}")
name=$(basename "$zip" .zip)

# 1. The archive's own digest.
if [[ -f $zip.sha256 ]] &&
  [[ $(awk '{ print $1 }' "$zip.sha256") == $(sha256sum "$zip" | awk '{ print $1 }') ]]; then
  pass "$(basename "$zip") matches $(basename "$zip").sha256"
else
  fail "$(basename "$zip").sha256 missing or different from the zip's SHA-256"
fi

# 2. Unpacked, each file against SHA256SUMS.txt.
(cd "$work" && cmake -E tar xf "$zip")
top=$work/$name
if [[ ! -f $top/SHA256SUMS.txt ]]; then
  fail "no $name/SHA256SUMS.txt in the zip"
  finish
fi
if (cd "$top" && sha256sum --check --strict --quiet SHA256SUMS.txt); then
  pass "every file listed in SHA256SUMS.txt has its SHA-256 ($(wc -l <"$top/SHA256SUMS.txt") files)"
else
  fail "a file differs from SHA256SUMS.txt (sha256sum --check above)"
fi
(cd "$top" && find . -type f ! -name SHA256SUMS.txt | sed 's|^\./||' | LC_ALL=C sort) >"$work/files"
awk '{ print $2 }' "$top/SHA256SUMS.txt" | LC_ALL=C sort >"$work/listed"
if cmp -s "$work/files" "$work/listed"; then
  pass "SHA256SUMS.txt names every file of the archive"
else
  fail "archive and SHA256SUMS.txt differ: $(diff "$work/files" "$work/listed" | grep '^[<>]' | tr '\n' ' ')"
fi

# 3. What a station needs.
needed=(talven.dll talvenctl.exe talven.h libtalven.dll.a docs/reference.md
  docs/station-guide.md docs/behaviour-notes.md docs/station-database.md docs/talvenctl.md
  bindings/vb/talven.bas
  bindings/dotnet/Talven.cs bindings/dotnet/Adapter.cs bindings/dotnet/AdapterOperations.cs
  bindings/python/pyproject.toml bindings/python/talven/__init__.py
  bindings/python/talven/_reference.py)
[[ $name == *-win32 ]] && needed+=(talven.lib)
missing=()
for file in "${needed[@]}"; do
  grep -qxF "$file" "$work/files" || missing+=("$file")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  pass "the archive holds the ${#needed[@]} files a station needs"
else
  fail "missing from the archive: ${missing[*]}"
fi

# 4. The same files as dist/.
if [[ -d $build/dist ]] && diff -r -q "$build/dist" "$top" >"$work/diff"; then
  pass "the unpacked archive is $build/dist, byte for byte"
else
  fail "the unpacked archive differs from $build/dist: $(head -5 "$work/diff" | tr '\n' ' ')"
fi
finish
