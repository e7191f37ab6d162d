#!/usr/bin/env bash
# The real setup.exe under 32-bit Wine, driven like a user, in the prefix named by
# MORVANE_WINE_PREFIX_KIND: "wow64" (a 64-bit Windows, where setup.exe is a WOW64
# process and installs through the 64-bit helper TALON64.EXE) or "x86" (a 32-bit
# Windows, where it installs the INF through the shell's "install" verb).
# The window "USB Devices Rate Setup" is found with its 960 x 360 client area (read
# through Win32 with gui-probe.exe, MORVANE_GUI_PROBE) inside the frame Wine draws, a
# screenshot shows the grid's title row; the category box moves to the
# next category and back; "Install Service" installs the "morvane" service with
# TALON64.EXE and morvane.inf beside setup.exe; the service is then seen through the
# service manager and removed; Escape ends the program with exit code 0.
# Usage: setup-exe-gui.sh <wine runner> <setup.exe> <TALON64.EXE> <morvane.inf> <work folder>
# Exits 77 (skipped) when setup.exe is not built or 32-bit Wine cannot run here.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
runner=$1 setup_exe=$2 talon_exe=$3 inf=$4 work=$5
kind=${MORVANE_WINE_PREFIX_KIND:-wow64}
[ -f "$setup_exe" ] || { echo "SKIP: $setup_exe is not built (build the win32-release preset first)"; exit 77; }
if ! reason=$(bash "$here/../../scripts/probe-wine32.sh"); then echo "SKIP: $reason"; exit 77; fi
checks_begin "setup-exe-gui@$kind"
SIM_PID=""
# The service manager through the prefix's own sc.exe (64-bit in the WOW64 prefix).
sc() { MORVANE_WINE_PREFIX_TOOLS=1 "$runner" sc "$@"; }
trap 'sim_kill; sc delete morvane >/dev/null 2>&1; checks_on_exit' EXIT

# setup.exe with its helper, the INF and a stand-in driver file in a folder of their own.
app="$work/app"
rm -rf "$work"
mkdir -p "$app"
cp "$setup_exe" "$app/setup.exe"
cp "$inf" "$app/morvane.inf"
[ -f "$talon_exe" ] && cp "$talon_exe" "$app/TALON64.EXE"
printf 'MZ stand-in driver file\n' >"$app/morvane.sys"
cd "$app" || exit 1
sc delete morvane >/dev/null 2>&1

service_exists() { sc query morvane 2>/dev/null | tr -d '\r' | grep -q 'SERVICE_NAME: morvane'; }
check_that "no \"morvane\" service before the install" "it exists already" eval '! service_exists'

started=$SECONDS
"$runner" setup.exe &
SIM_PID=$!
if ! WID=$(wait_window "USB Devices Rate Setup" 600); then
  check_fail "the window appears" "no window \"USB Devices Rate Setup\" within $(slow_int 600) s"
  exit 1
fi
check_pass "the window appears"
echo "window after $((SECONDS - started)) s"
pause 2
# Wine draws the frame here ("Managed" is N in these prefixes): the X window holds the
# frame, and the 960 x 360 client area sits inside it, the caption above.
if ! client=$(window_client "USB Devices Rate Setup"); then
  check_fail "the client area is read through Win32" "gui-probe.exe client found no window"
  exit 1
fi
read -r WIN_X WIN_Y WIN_W WIN_H <<<"$client"
read -r OUT_X OUT_Y OUT_W OUT_H < <(window_geometry "$WID")
left=$((WIN_X - OUT_X)) right=$((OUT_X + OUT_W - WIN_X - WIN_W))
top=$((WIN_Y - OUT_Y)) bottom=$((OUT_Y + OUT_H - WIN_Y - WIN_H))
echo "window $WID at $OUT_X,$OUT_Y, $OUT_W x $OUT_H; client area at $WIN_X,$WIN_Y, $WIN_W x $WIN_H;" \
     "frame: left $left, top $top, right $right, bottom $bottom"
check_that "a client area of 960 x 360" "it is $WIN_W x $WIN_H" test "$WIN_W" -eq 960 -a "$WIN_H" -eq 360
check_that "a frame of equal sides around the client area" "left $left, right $right" \
  test "$left" -ge 0 -a "$left" -eq "$right"
check_that "a caption above the client area" "top $top, bottom $bottom" test "$top" -gt "$bottom" -a "$bottom" -ge 0

shot() { import -window root "$work/$1.png"; }
at() { pixel "$work/$1.png" $((WIN_X + $2)) $((WIN_Y + $3)); }
window_part() { convert "$work/$1.png" -crop "960x360+$WIN_X+$WIN_Y" +repage "$work/client-$1.png"; }
pointer_away 1
shot start
panel=$(at start 700 20)
title=$(at start 152 42)
empty=$(at start 600 300)
echo "panel $panel, title row $title, empty grid $empty"
check_that "the title row is in the panels' button-face colour" "title row $title, panel $panel" test "$title" = "$panel"
check_that "the empty grid is set off from the title row" "both are $title" test "$title" != "$empty"
window_part start

# The category box: the next category, then back to the first.
pick_category() {  # key
  click_at 100 18
  pause 1
  xdotool key "$1"
  xdotool key Return
  pointer_away 2
}
pick_category Down
shot next
window_part next
check_that "the next category changes what the window shows" "the picture stayed the same" \
  eval '! same_image "$work/client-start.png" "$work/client-next.png"'
pick_category Up
shot back
window_part back
check_that "back to the first category, the window is as it was" "the picture differs from the start" \
  same_image "$work/client-start.png" "$work/client-back.png"

# "Install Service": the route of this Windows, then the service manager's word.
click_at 339 342
install_limit=$(slow_int 600)
deadline=$((SECONDS + install_limit))
installed=""
while [ $SECONDS -lt $deadline ]; do
  if service_exists; then installed=1; break; fi
  sleep 2
done
if [ "$kind" = wow64 ]; then route="TALON64.EXE e install morvane.inf"; else route="the shell's \"install\" verb on morvane.inf"; fi
check_that "\"Install Service\" creates the \"morvane\" service ($route)" "no service \"morvane\" after $((SECONDS - deadline + install_limit)) s" \
  test -n "$installed"
if [ -n "$installed" ]; then
  sc qc morvane 2>/dev/null | tr -d '\r' | sed -n 's/^ *//p' | head -n 8
  sc delete morvane >/dev/null 2>&1
  check_that "the service is removed again" "it still exists" eval '! service_exists'
fi

# Anything the helper left on the screen is closed before Escape reaches the window.
for box in $(xdotool search --onlyvisible --name '.*' 2>/dev/null); do
  [ "$box" = "$WID" ] && continue
  name=$(xdotool getwindowname "$box" 2>/dev/null)
  [ -n "$name" ] && echo "also on the screen: \"$name\""
done
shot end
click_at 700 20
xdotool key Escape
sim_wait_exit || { pause 20; sim_wait_exit; }
check_exit_code "Escape ends the program with exit code 0" 0
checks_finish
