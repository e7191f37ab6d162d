#!/usr/bin/env bash
# check-pe-size.sh must refuse what is not a shipped image within its limit, and
# accept one exactly at it:
#   - a copy of the image padded with zero bytes to one byte over the limit (a PE
#     image still, stripped still: only the size check may fail);
#   - the image against a limit of its own size (accepted) and of one byte less;
#   - the image's unstripped debug file (<image>.debug), when it is there;
#   - a file that is no PE image.
# Usage: check-pe-size-refuses.sh <objdump> <image> <limit in bytes> <suite>
set -u
objdump=$1
image=$2
limit=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
[ -f "$image" ] || { echo "SKIP: $image is not built"; exit 77; }
work=$(mktemp -d) || { echo "no temporary folder" >&2; exit 1; }
cleanup() { rm -rf "$work"; checks_on_exit; }
checks_begin "$4"
trap cleanup EXIT

# run_check NAME IMAGE LIMIT: the check's output in $output, its exit code in $code.
run_check() {
  output=$(MORVANE_JUNIT="" bash "$here/check-pe-size.sh" "$objdump" "$2" "$3" "$1" 2>&1)
  code=$?
  printf '%s\n' "$output" | sed 's/^/  | /'
}
size=$(stat -c %s "$image")

oversized=$work/oversized.exe
cp "$image" "$oversized"
if [ "$size" -le "$limit" ]; then truncate -s $((limit + 1)) "$oversized"; fi
run_check oversized "$oversized" "$limit"
check_that "refused: a copy one byte over the limit" "exit code $code, expected 1" test "$code" -eq 1
check_that "the size is what it names" "the size check was not the one that failed" \
  grep -Fq "FAIL: at most $limit bytes: it is $(stat -c %s "$oversized") bytes" <<<"$output"
check_that "the padded copy is still read as a stripped image" "another check failed on it" \
  test "$(grep -c '^FAIL:' <<<"$output")" -eq 1

run_check at-limit "$image" "$size"
check_that "accepted: the image against a limit of its own size" "exit code $code, expected 0" test "$code" -eq 0
run_check below-limit "$image" $((size - 1))
check_that "refused: the image against a limit one byte below its size" "exit code $code, expected 1" \
  test "$code" -eq 1
check_that "one byte over" "the message does not say one byte over" grep -Fq "bytes, 1 over" <<<"$output"

if [ -f "$image.debug" ]; then
  run_check debug-file "$image.debug" $((1 << 40))
  check_that "refused: the unstripped debug file" "exit code $code, expected 1" test "$code" -eq 1
  check_that "named: not stripped" "the strip check did not fail" grep -Fq "FAIL: the image is stripped:" <<<"$output"
  check_that "named: DWARF sections" "the DWARF check did not fail" \
    grep -Fq "FAIL: the image holds no DWARF sections:" <<<"$output"
fi

printf 'not an image\n' >"$work/text.exe"
run_check not-an-image "$work/text.exe" "$limit"
check_that "refused: a file that is no PE image" "exit code $code, expected 1" test "$code" -eq 1

checks_finish
