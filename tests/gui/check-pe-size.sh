#!/usr/bin/env bash
# Checks the size of a shipped Windows image: it is a PE image, stripped as shipped
# (no symbol table and no DWARF sections: those live in the .debug file beside it),
# and the file holds no more bytes than the limit.
# Usage: check-pe-size.sh <objdump> <image> <limit in bytes> [suite]
# Exits 77 (skipped) when the image has not been built.
set -u
objdump=$1
image=$2
limit=$3
suite=${4:-pe-size}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks-lib.sh
. "$here/checks-lib.sh"
[ -f "$image" ] || { echo "SKIP: $image is not built"; exit 77; }
checks_begin "$suite"

if ! [[ "$limit" =~ ^[0-9]+$ ]]; then
  check_fail "the limit is a number of bytes" "the limit is \"$limit\""
  checks_finish
  exit 1
fi

headers=$("$objdump" -p "$image") || { check_fail "the image can be read" "$objdump cannot read $image"; exit 1; }
check_pass "the image can be read"
check_that "the image is stripped" "its header does not say \"symbols stripped\"" \
  grep -Eq '^[[:space:]]+symbols stripped' <<<"$headers"
sections=$("$objdump" -h "$image") || { check_fail "the section table can be read" "$objdump -h failed on $image"; exit 1; }
debug_sections=$(awk '$1 ~ /^[0-9]+$/ && $2 ~ /^\.debug_/ {print $2}' <<<"$sections" | tr '\n' ' ')
check_that "the image holds no DWARF sections" "it holds ${debug_sections% }" test -z "$debug_sections"

size=$(stat -c %s "$image")
check_that "at most $limit bytes" "it is $size bytes, $((size - limit)) over" test "$size" -le "$limit"

if checks_finish; then
  echo "$image: $size bytes, within $limit ($((limit - size)) to spare)"
  exit 0
fi
echo "$image: $(checks_failed) check(s) failed"
exit 1
