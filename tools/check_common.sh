# Sourced by the static binary checks (check_dll.sh, check_driver.sh) after they have set
# $objdump and read their arguments: "PASS: <label>: ..." and "FAIL: <label>: ..." lines,
# counted; finish prints "<label>: N passed, M failed" and exits non-zero on any failure; a
# scratch folder $work removed on exit.
#   source tools/check_common.sh <label> <binary>
# Fails and finishes at once when the objdump or the binary is missing.
checks_label=$1
passed=0
failed=0
pass() { echo "PASS: $checks_label: $1"; passed=$((passed + 1)); }
fail() { echo "FAIL: $checks_label: $1"; failed=$((failed + 1)); }
finish() {
  echo "$checks_label: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit $?
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v "$objdump" >/dev/null; then
  fail "$objdump not found (run tools/setup.sh)"
  finish
fi
if [[ ! -f $2 ]]; then
  fail "$2 does not exist"
  finish
fi
