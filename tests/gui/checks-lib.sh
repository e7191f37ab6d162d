# Named checks of a shell test, reported as JUnit XML in the file named by
# MORVANE_JUNIT (when it is set), so that the test command counts them with the
# GoogleTest programs' cases. Sourced by the script tests of this folder.
#
#   checks_begin SUITE         names the report and writes it on exit (an EXIT trap)
#   check_pass NAME            a check that held
#   check_fail NAME MESSAGE    a check that did not hold (also printed)
#   check_that NAME MESSAGE COMMAND...   runs COMMAND: pass when it succeeds
#   checks_finish SUITE        writes the report; its exit status is 1 when a check failed
# A script that ends before checks_finish (an early exit) still writes its report
# through checks_on_exit, with the checks recorded so far; a script with more to do on
# exit sets its own trap that calls checks_on_exit.

check_names=()
check_messages=()
checks_suite=""
checks_written=""

check_pass() {
  check_names+=("$1")
  check_messages+=("")
  echo "ok: $1"
}

check_fail() {
  check_names+=("$1")
  check_messages+=("${2:-failed}")
  echo "FAIL: $1: ${2:-failed}" >&2
}

check_that() {
  local name=$1 message=$2
  shift 2
  if "$@"; then check_pass "$name"; else check_fail "$name" "$message"; fi
}

checks_failed() {
  local m count=0
  for m in "${check_messages[@]}"; do [ -n "$m" ] && count=$((count + 1)); done
  echo "$count"
}

xml_text() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g' <<<"$1"; }

checks_write() {
  local suite=$1 file=${MORVANE_JUNIT:-}
  [ -n "$file" ] || return 0
  [ -z "$checks_written" ] || return 0
  checks_written=1
  mkdir -p "$(dirname "$file")"
  local total=${#check_names[@]} failed i
  failed=$(checks_failed)
  {
    printf '<?xml version="1.0" encoding="UTF-8"?>\n'
    printf '<testsuites tests="%d" failures="%d" disabled="0" errors="0" name="%s">\n' "$total" "$failed" "$(xml_text "$suite")"
    printf '  <testsuite name="%s" tests="%d" failures="%d" disabled="0" errors="0">\n' "$(xml_text "$suite")" "$total" "$failed"
    for ((i = 0; i < total; i++)); do
      printf '    <testcase name="%s" classname="%s"' "$(xml_text "${check_names[$i]}")" "$(xml_text "$suite")"
      if [ -n "${check_messages[$i]}" ]; then
        printf '>\n      <failure message="%s"/>\n    </testcase>\n' "$(xml_text "${check_messages[$i]}")"
      else
        printf '/>\n'
      fi
    done
    printf '  </testsuite>\n</testsuites>\n'
  } >"$file"
}

# For an EXIT trap: the report of whatever was checked until the script ended.
checks_on_exit() {
  [ -n "$checks_suite" ] && checks_write "$checks_suite"
  return 0
}

checks_begin() {
  checks_suite=$1
  trap checks_on_exit EXIT
}

checks_finish() {
  checks_write "${1:-$checks_suite}"
  [ "$(checks_failed)" -eq 0 ]
}
