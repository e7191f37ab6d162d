#!/usr/bin/env bash
# "Copy IDs" in setup-sim.exe over the built-in machine: the clipboard is emptied,
# the window opened on the "USB" category (its first device, the gaming mouse, is
# selected), the button clicked, and the real clipboard read back by clipboard-text.exe
# and compared byte for byte with the expected report.
# Usage: setup-sim-copy-ids.sh <wine runner> <setup-sim.exe> <clipboard-text.exe> <work folder> <expected file>
set -u
runner=$1
exe=$2
clip=$3
work=$4
expected=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../gui/gui-lib.sh
. "$here/../gui/gui-lib.sh"

mkdir -p "$work"
copied="$work/clipboard.txt"
rm -f "$copied"
unset MORVANE_MACHINE MORVANE_MACHINE_DUMP

"$runner" "$clip" clear || { echo "FAIL: the clipboard could not be emptied"; exit 1; }

sim_start /usb
trap sim_kill EXIT

sim_find_window 90 || { echo "FAIL: the window did not appear"; exit 1; }
echo "window $WID at $WIN_X,$WIN_Y, $WIN_W x $WIN_H"
pause 1.5

# "Copy IDs" sits in the 38-pixel foot panel at x 506, y 8, 90 x 24.
click_at $((506 + 45)) $((WIN_H - 38 + 8 + 12))
pause 1

"$runner" "$clip" read "$(wine_path "$copied")"
status=$?
failures=0
if [ "$status" -ne 0 ]; then
  echo "FAIL: clipboard-text.exe read ended with $status (1: no text, 2: clipboard not opened)"
  failures=1
elif ! cmp -s "$expected" "$copied"; then
  echo "FAIL: the clipboard differs from $expected:"
  diff <(tr -d '\r' <"$expected") <(tr -d '\r' <"$copied") | head -40
  cmp "$expected" "$copied"
  failures=1
else
  echo "clipboard: $(wc -c <"$copied") bytes, as expected"
fi

xdotool windowfocus "$WID" key Escape 2>/dev/null || true
sim_wait_exit
trap - EXIT
sim_kill
exit "$failures"
