#!/usr/bin/env bash
# The rate meter of setup-sim.exe over the built-in machine, whose gaming mouse plays
# 1,000 and then 8,000 reports per second (MORVANE_RAW_INPUT) while the optical mouse
# plays 125: a double click on the gaming mouse's row opens "Polling Rate - ...";
# after three seconds its texts show the rate (within 1 %), the expected 1,000, the
# intervals (with the 99th percentile), the reports of the gaming mouse only, the late
# share, the histogram and the verdict; Escape closes it, Escape closes
# the program, and the state file holds what the meter drew. At 1,000 a screenshot is
# kept (meter-1000.png); at 8,000 the program's share of one core is measured over
# five seconds with the meter closed and five with it open (cpu-8000.txt).
# Usage: setup-sim-rate-meter.sh <wine runner> <setup-sim.exe> <work folder>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-rate-meter "$@"
gaming='USB\VID_1A2C&PID_0E24\6&1F2A3B4C&0&1'
optical='USB\VID_0461&PID_4D81\7&3B9C1D2E&0&1'
meter_title='Polling Rate - USB Composite Device - Raptor Pro Gaming Mouse'

# CPU seconds (user + system) of the process $1 and everything below it.
tree_cpu() {
  local pids=$1 frontier=$1 next p ticks=0
  while [ -n "$frontier" ]; do
    next=""
    for p in $frontier; do next="$next $(pgrep -P "$p" | tr '\n' ' ')"; done
    frontier=$(echo $next)
    pids="$pids $frontier"
  done
  for p in $pids; do
    [ -r "/proc/$p/stat" ] || continue
    ticks=$((ticks + $(awk '{print $14 + $15}' "/proc/$p/stat")))
  done
  echo "$ticks"
}
# Share of one core, in per cent with one decimal, over $1 seconds.
cpu_share() {
  local before after hz
  hz=$(getconf CLK_TCK)
  before=$(tree_cpu "$SIM_PID")
  sleep "$1"  # measured: not stretched by MORVANE_SLOW
  after=$(tree_cpu "$SIM_PID")
  awk -v t=$((after - before)) -v hz="$hz" -v s="$1" 'BEGIN { printf "%.1f", t * 100 / hz / s }'
}

for rate in 1000 8000; do
  dump="$work/state-$rate.json"
  rm -f "$dump"
  export MORVANE_MACHINE="" MORVANE_RAW_INPUT="$rate:$gaming;125:$optical"
  MORVANE_MACHINE_DUMP=$(wine_path "$dump")
  export MORVANE_MACHINE_DUMP
  sim_start /mice
  check_main_window
  pointer_away 1
  [ "$rate" = 8000 ] && idle=$(cpu_share 5)

  # The gaming mouse is the first row.
  xdotool mousemove $((WIN_X + 100)) $((WIN_Y + 38 + 22 + 10)) click --repeat 2 --delay 80 1
  if wait_window "$meter_title" 20 >/dev/null; then
    check_pass "$rate Hz: a double click on the row opens the meter"
  else
    check_fail "$rate Hz: a double click on the row opens the meter" "no window \"$meter_title\""
    sim_kill
    continue
  fi
  # The meter's client area, read through Win32 (the X window also holds any frame).
  if ! meter_client=$(window_client "$meter_title"); then
    check_fail "$rate Hz: the meter's client area is read through Win32" "gui-probe.exe client found no window"
    sim_kill
    continue
  fi
  read -r mx my mw mh <<<"$meter_client"
  xdotool mousemove $((mx + mw - 20)) $((my + 40))  # on the texts' empty right end
  sleep 3  # counted: the reports of three seconds are checked below
  if [ "$rate" = 1000 ]; then
    import -window root "$work/meter-1000.png"
    # The plot's face is the window colour, its line the plot colour, at least somewhere.
    plot_pixels=$(convert "$work/meter-1000.png" -crop "$((mw - 40))x$((mh - 170))+$((mx + 20))+$((my + 120))" \
                  +repage -fill white +opaque 'rgb(0,64,192)' -format '%[fx:mean<1?1:0]' info:)
    check_that "$rate Hz: the plot is drawn in the window" "no pixel of the plot's colour" test "$plot_pixels" = 1
  else
    busy=$(cpu_share 5)
    printf 'idle %s%%\nmeter %s%%\n' "$idle" "$busy" >"$work/cpu-8000.txt"
    echo "CPU share of one core at 8000 Hz: main window alone ${idle}%, with the meter measuring ${busy}%"
    check_that "8000 Hz: the meter uses less than a quarter of one core" "${busy}%" awk -v b="$busy" 'BEGIN { exit !(b < 25) }'
  fi
  xdotool click 1
  pause 0.3
  xdotool key Escape
  # Without a window manager Wine waits about two seconds for a hidden window's
  # withdrawal before it goes on with destroying it.
  closed=no
  for _ in $(seq 1 "$(slow_int 20)"); do
    sleep 0.5
    if ! xdotool search --onlyvisible --name "^$meter_title\$" >/dev/null 2>&1; then closed=yes; break; fi
  done
  check_that "$rate Hz: Escape closes the meter" "it is still open after $(slow_int 10) s" test "$closed" = yes
  check_escape_closes 600
  RATE=$rate check_state_file <<'PY'
import os, re
rate = int(os.environ["RATE"])
slow = float(os.environ.get("MORVANE_SLOW", "1"))
meter = state.get("meter", [])
check("%d Hz: the state file holds the meter's nine texts" % rate, len(meter) == 9, meter)
if len(meter) == 9:
    check("%d Hz: the meter names the device" % rate,
          meter[0] == "Polling Rate - USB Composite Device - Raptor Pro Gaming Mouse", meter[0])
    m = re.fullmatch(r"Rate: (\d+) reports/s", meter[1])
    check("%d Hz: the rate is within 1 %%" % rate, m is not None and abs(int(m.group(1)) - rate) <= rate / 100, meter[1])
    check("%d Hz: the expected rate is the override's 1000" % rate, meter[2] == "Expected: 1000 reports/s", meter[2])
    m = re.fullmatch(r"Interval: min (\d+\.\d\d) ms, median (\d+\.\d\d) ms, p99 (\d+\.\d\d) ms, max (\d+\.\d\d) ms",
                     meter[3])
    ok = m is not None and all(abs(float(v) - 1000.0 / rate) <= max(0.01, 0.05 * 1000.0 / rate) for v in m.groups())
    check("%d Hz: min, median, p99 and max lie within 5 %% of the interval" % rate, ok, meter[3])
    m = re.fullmatch(r"Reports: (\d+)", meter[4])
    # Three seconds (eight at 8,000, with the CPU measurement) until Escape, plus the
    # time Escape takes (three seconds at most, times MORVANE_SLOW); the optical mouse's
    # reports are not among them.
    seconds = 8 if rate == 8000 else 3
    check("%d Hz: the reports are the gaming mouse's" % rate,
          m is not None and (seconds - 1) * rate <= int(m.group(1)) <= (seconds + 3 * slow) * rate, meter[4])
    m = re.fullmatch(r"Late \(over 1\.5x expected\): (\d+\.\d) %", meter[5])
    check("%d Hz: hardly any report is late" % rate, m is not None and float(m.group(1)) < 1.0, meter[5])
    check("%d Hz: the histogram is shown" % rate, meter[6].startswith("Histogram: <0.9x "), meter[6])
    # The gaming mouse's settings stand for 1,000 reports/s; the stream plays 1,000 or 8,000.
    pattern = (r"Reaches (\d+) reports/s, as set\." if rate == 1000
               else r"Reaches (\d+) reports/s, more than the expected 1000\.")
    m = re.fullmatch(pattern, meter[7])
    check("%d Hz: the verdict says so" % rate, m is not None and abs(int(m.group(1)) - rate) <= rate / 100, meter[7])
PY
done
# The exit code says whether every check held.
checks_finish
