#!/usr/bin/env bash
# Runs a command on a virtual screen (Xvfb) of its own, for the length of the command:
# windows under Wine need an X display, and GUI tests that run side by side (ctest -j)
# must not click into or read each other's windows. Xvfb picks a free display number
# itself (-displayfd), so screens started at the same moment never take the same one.
# MORVANE_SCREEN gives the screen's size (a window at 144 pixels per inch needs more
# room than the usual 1280x1024).
set -u
size=${MORVANE_SCREEN:-1280x1024x24}
number_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
xvfb_pid=$!
stop_screen() {
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
  rm -f "$number_file"
}
trap 'stop_screen; exit 143' TERM INT
number=""
for _ in $(seq 1 200); do
  number=$(tr -dc '0-9' <"$number_file")
  [ -n "$number" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$number" ]; then
  echo "on-virtual-screen: Xvfb did not start" >&2
  stop_screen
  exit 1
fi
# The screen's own mark, for scripts/wine-run.sh: a wineserver that lived on another
# screen keeps that screen's size for the windows of every program it still serves.
export MORVANE_SCREEN_ID="$number.$xvfb_pid.$(date +%s%N)"
DISPLAY=":$number" "$@"
rc=$?
stop_screen
exit "$rc"
