#!/usr/bin/env bash
# Wine's own Raw Input: while xdotool moves the pointer over a window of the test
# program 50 times a second for 3 seconds, the program times every WM_INPUT with the
# performance counter. Wine sends WM_INPUT for pointer motion over its windows, with a
# device handle that, in some prefixes, has no raw-input name and is not in the device
# list; the rate meter's logic counts or ignores every one of them.
#   rate-meter-wine-pointer.sh <wine runner> <rate-meter-wine.exe>
set -u
. "$(dirname "$0")/checks-lib.sh"
# shellcheck source=slow-lib.sh
. "$(dirname "$0")/slow-lib.sh"
checks_begin rate-meter-wine-pointer
trap checks_on_exit EXIT
runner=$1
exe=$2
out=$(mktemp)
# The program listens 7 seconds (times MORVANE_SLOW) from its registration on.
"$runner" "$exe" "$(slow_int 7)" >"$out" &
pid=$!
for _ in $(seq 1 "$(slow_int 300)"); do grep -q '^registered' "$out" && break; sleep 0.1; done
pause 0.5
# The moves are measured: their pace is not stretched by MORVANE_SLOW.
# One xdotool process for all moves, so that the pace is the sleeps', not process starts'.
moves=""
for i in $(seq 1 150); do moves="$moves mousemove $((100 + (i % 2) * 5)) 100 sleep 0.02"; done
# shellcheck disable=SC2086
xdotool $moves
wait "$pid"
value() { tr -d "\r" <"$out" | sed -nE "s/^$1 (.*)$/\1/p"; }
cat "$out"

messages=$(value messages)
rate=$(value rate)
if [ "${messages:-0}" -ge 140 ] && [ "${messages:-0}" -le 151 ]; then
  check_pass "Wine delivers a WM_INPUT for each pointer move (150 moves)"
else
  check_fail "Wine delivers a WM_INPUT for each pointer move (150 moves)" "messages: ${messages:-none}"
fi
# 50 moves a second, each xdotool step a little longer than its 20 ms sleep: 40 to 52.
if [ "${rate:-0}" -ge 40 ] && [ "${rate:-0}" -le 52 ]; then
  check_pass "the measured rate follows the pointer's 50 moves per second within 40 to 52"
else
  check_fail "the measured rate follows the pointer's 50 moves per second within 40 to 52" "rate: ${rate:-none}"
fi
# Some Wine prefixes give the pointer's device a raw-input name, others do not (handle
# without a name): either way every report is counted or ignored, none is lost:
# the meter's total is the program's message count give or take the one report that
# arrives while the two are being read.
count=$(value meter-count)
ignored=$(value meter-ignored)
echo "meter: $count counted, $ignored ignored of ${messages:-0}"
total=$((${count:-0} + ${ignored:-0}))
if [ "${messages:-0}" -gt 0 ] && [ $((total - ${messages:-0})) -ge -1 ] && [ $((total - ${messages:-0})) -le 1 ]; then
  check_pass "the meter counts or ignores every report"
else
  check_fail "the meter counts or ignores every report" "meter-count ${count:-none}, ignored ${ignored:-none}, messages ${messages:-none}"
fi
rm -f "$out"
# The exit code says whether every check held.
checks_finish
