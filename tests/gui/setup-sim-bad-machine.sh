#!/usr/bin/env bash
# setup-sim.exe with a machine file that cannot be loaded: an error box titled
# "MORVANE Setup" appears (the loader's message names the place in the file), and
# after it is closed the program ends with a non-zero exit code and no window.
# Usage: setup-sim-bad-machine.sh <wine runner> <setup-sim.exe> <work folder>
set -u
runner=$1
exe=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
mkdir -p "$work"
bad="$work/bad-machine.json"
printf '{"devices": [{"id": "HTREE\\\\ROOT\\\\0", "colour": 1}]}\n' >"$bad"
export MORVANE_MACHINE
MORVANE_MACHINE=$(wine_path "$bad")

"$runner" "$exe" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
box=$(wait_window "MORVANE Setup" 90) || { echo "FAIL: no error box"; exit 1; }
read -r bx by _ _ < <(window_geometry "$box")
import -window root "$work/bad-machine.png"
if xdotool search --onlyvisible --name "^USB Devices Rate Setup\$" >/dev/null 2>&1; then
  echo "FAIL: the main window opened on a bad machine file"
  exit 1
fi
xdotool mousemove $((bx + 30)) $((by + 20)) click 1
sleep 0.3
xdotool key Return
code=""
for _ in $(seq 1 50); do
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"
    code=$?
    break
  fi
  sleep 0.2
done
trap - EXIT
[ -n "$code" ] || { echo "FAIL: the program did not end after the error box"; kill "$pid"; exit 1; }
[ "$code" -ne 0 ] || { echo "FAIL: exit code 0 on a bad machine file"; exit 1; }
echo "bad machine file: error box shown, exit code $code"
