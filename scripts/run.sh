#!/usr/bin/env bash
# The first command: installs what is missing, builds the win64 and win32 presets,
# and opens the setup window on the built-in simulated PC under Wine.
# With an X display the window opens there and the command returns when it is closed.
# Without one the window runs on a virtual screen (Xvfb): the command waits for it,
# saves a screenshot, closes it and says where the screenshot is.
# Arguments are passed to setup-sim.exe (for example /keyboards); MORVANE_MACHINE may
# name a machine file instead of the built-in machine. With MORVANE_PROGRAM=setup.exe
# the real 32-bit setup.exe opens instead, over Wine's own devices in a WOW64 prefix
# (it needs 32-bit Wine; MORVANE_WINE_PREFIX_KIND=x86 takes a 32-bit-only prefix).
# The programs are the shipped builds: optimised, their symbols in a .debug file beside.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# The toolchain, Wine, Wine's fonts ("MS Sans Serif", which the window uses), Xvfb.
bash scripts/install-deps.sh

for preset in win64-release win32-release; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done

sim_exe=build/win64-release/setup/win32/setup-sim.exe
setup_exe=build/win32-release/setup/win32/setup.exe
built() { [ -f "$1" ] && echo "$1" || true; }
varnel_dll=$(built build/win64-release/varnel/varnel.dll)
talon_exe=$(built build/win64-release/talon64/TALON64.EXE)
[ -f "$sim_exe" ] || { echo "run: $sim_exe was not built" >&2; exit 1; }

runner=$root/scripts/wine-run.sh
program=${MORVANE_PROGRAM:-setup-sim.exe}
case "$program" in
  setup-sim.exe)
    exe=$sim_exe
    export WINEPREFIX="${WINEPREFIX:-$root/build/win64/wineprefix}"
    ;;
  setup.exe)
    if ! reason=$(bash scripts/probe-wine32.sh); then echo "run: setup.exe cannot run here: $reason" >&2; exit 1; fi
    # setup.exe with its helper and the INF beside it, as it is shipped.
    app=build/run-setup
    mkdir -p "$app"
    cp "$setup_exe" inf/morvane.inf "$app"/
    [ -n "$talon_exe" ] && cp "$talon_exe" "$app"/
    exe=$app/setup.exe
    export MORVANE_WINE_PREFIX_KIND="${MORVANE_WINE_PREFIX_KIND:-wow64}"
    ;;
  *) echo "run: MORVANE_PROGRAM is setup-sim.exe or setup.exe, not \"$program\"" >&2; exit 2 ;;
esac

say_where() {
  echo "Built:"
  echo "  setup.exe      $root/$setup_exe"
  echo "  setup-sim.exe  $root/$sim_exe"
  echo "  varnel.dll     ${varnel_dll:+$root/}${varnel_dll:-(not built)}"
  echo "  TALON64.EXE    ${talon_exe:+$root/}${talon_exe:-(not built)}"
}

if [ -n "${DISPLAY:-}" ]; then
  say_where
  echo "run: opening the window on $DISPLAY; close it to return"
  exec "$runner" "$exe" "$@"
fi

# No display: a virtual screen for the length of the run.
shot_dir=build/screenshots
mkdir -p "$shot_dir"
shot=$root/$shot_dir/${program%.exe}.png
display_number=$(for n in $(seq 90 140); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { echo "$n"; break; }; done)
Xvfb ":$display_number" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display_number"
app_pid=""
finish() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
}
trap finish EXIT
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; [ -e "/tmp/.X11-unix/X$display_number" ] && break; sleep 0.1; done

# shellcheck source=../tests/gui/gui-lib.sh
. tests/gui/gui-lib.sh
echo "run: no display; starting the window on a virtual screen ($DISPLAY)"
"$runner" "$exe" "$@" &
app_pid=$!
if ! wid=$(wait_window "USB Devices Rate Setup" 120); then
  echo "run: the window did not appear" >&2
  exit 1
fi
xdotool mousemove 0 0  # away from the controls, so that no hint covers them
sleep 2                # the first refresh and paint
import -window root "$shot"
read -r WIN_X WIN_Y _ _ < <(window_geometry "$wid")
click_at 800 20      # gives the window the keys
xdotool key Escape   # works "Close"
code=""
for _ in $(seq 1 50); do
  if ! kill -0 "$app_pid" 2>/dev/null; then
    wait "$app_pid" && code=0 || code=$?
    app_pid=""
    break
  fi
  sleep 0.2
done
echo "run: screenshot of the window: $shot"
echo "run: $program closed with exit code ${code:-(still running, stopped)}"
say_where
