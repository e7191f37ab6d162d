#!/usr/bin/env bash
# The pictures of docs/user-guide.md, taken while setup-sim.exe does the guide's tasks
# over gui-machine.json (a healthy full-speed gaming mouse and a low-speed optical mouse
# with a problem), and what the guide says of each step checked on the way: the
# question a device with a problem brings, the filter going on without one for a healthy
# device, the rate list of a full-speed device, the restart that brings the device back
# with the filter, the rate and the new interval ("Keep these settings?" answered OK), the
# undo's question, the meter of the chosen device, the hint of "Copy IDs". Every picture the guide shows must be one this test takes, so the
# guide cannot name a picture that no longer exists.
# With MORVANE_GUIDE_IMAGES naming a folder (docs/images), the pictures are written
# there (scripts/guide-images.sh); otherwise they stay in the work folder.
# Usage: setup-sim-guide.sh <wine runner> <setup-sim.exe> <work folder> <machine file> <guide> <gui-probe.exe>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-guide "$1" "$2" "$3" "$4"
guide=$5
PROBE=$6
images=${MORVANE_GUIDE_IMAGES:-$work/images}
mkdir -p "$images"
gaming='USB\VID_046D&PID_C08B\5&1A2B3C4D&0&1'
meter_title='Polling Rate - USB Composite Device - Gaming Mouse'
taken=()

# A picture of the screen's rectangle "W H X Y", written as $1.png without the
# time stamps ImageMagick would put in (the same window gives the same file).
picture() {
  local name=$1 w=$2 h=$3 x=$4 y=$5
  import -window root "$work/screen.png"
  convert "$work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage -strip "$images/$name.png"
  taken+=("$name.png")
}
# The main window's client area, $2 pixels more below it (for a list that drops down).
picture_window() { picture "$1" "$WIN_W" $((WIN_H + ${2:-0})) "$WIN_X" "$WIN_Y"; }
# A whole top-level window (a question box, the meter) by its X id.
picture_of() {
  local bx by bw bh
  read -r bx by bw bh < <(window_geometry "$2")
  picture "$1" "$bw" "$bh" "$bx" "$by"
}

# The rows' and controls' client positions (as setup-sim-gui.sh measures them).
row_y() { echo $((40 + 22 * $1)); }
col1_x=231
foot_y=322

# The gaming mouse plays 500 reports a second, the rate the guide chooses for it.
export MORVANE_RAW_INPUT="500:$gaming"
sim_use_machine "$machine"
sim_start /mice
check_main_window
pointer_away 1

# 1. Choosing a device: a click on its row makes it the current one.
click_at 100 $(($(row_y 1) + 10))
pointer_away 0.5
picture_window choose-device

# 2. The filter on the optical mouse, which has a problem: the " Warning !!!" question.
click_at 100 $(($(row_y 2) + 10))
click_at 12 $((foot_y + 19))
if box=$(wait_window " Warning !!!" 10); then
  check_pass "the filter for a device with a problem asks \" Warning !!!\" first"
  pause 0.5
  picture_of attach-warning "$box"
  check_that "No leaves that device as it was" "the box is still open" answer_box "$box" n
else
  check_fail "the filter for a device with a problem asks \" Warning !!!\" first" "no box"
fi

# 3. The filter on the healthy gaming mouse: no question.
click_at 100 $(($(row_y 1) + 10))
click_at 12 $((foot_y + 19))
asked=$(answer_questions_yes 2)
check_that "the filter for a healthy device asks nothing" "$asked question(s) came" test "$asked" -eq 0
pointer_away 0.5
picture_window attach-filter

# 4. The rate: the list of a full-speed device, open; "500" is two steps down.
click_at $((112 + 45)) $((foot_y + 18))
pause 0.5
picture_window choose-rate 170
xdotool key Down Down Return
pause 0.5
asked=$(answer_questions_yes 2)
check_that "a rate for a full-speed device asks nothing" "$asked question(s) came" test "$asked" -eq 0

# 5. Restart: the device goes away and comes back; the list is rebuilt a second later,
# and for a device with a mouse "Keep these settings?" counts down; OK keeps them.
click_at $((400 + 45)) $((foot_y + 20))
if keep=$(wait_window "Keep these settings\\?" 20); then
  check_pass "after the restart of a mouse \"Keep these settings?\" asks"
  pause 1
  picture_of restart-keep "$keep"
  check_that "OK keeps the settings" "the box is still open" answer_box "$keep" o
else
  check_fail "after the restart of a mouse \"Keep these settings?\" asks" "no such box"
fi
# The rate was changed and kept: measuring is offered; the guide measures below.
if offer=$(wait_window " Information" 10); then
  check_that "No closes the offer to measure" "the box is still open" answer_box "$offer" n
else
  check_fail "a kept rate change offers to measure the mouse" "no \" Information\" box"
fi
pause 2
click_at 100 $(($(row_y 1) + 10))
pointer_away 0.5
picture_window restart

# 5b. Undoing a change: the system menu's "Undo Changes To This Device..." (Ctrl+Z)
# lists what it would put back and asks; No leaves the device as it is.
xdotool mousemove $((WIN_X + 800)) $((WIN_Y + 20))
pause 0.3
xdotool key ctrl+z
if undo=$(wait_window "Undo Changes To This Device" 20); then
  check_pass "Ctrl+Z asks \"Undo Changes To This Device\" with what it would put back"
  pause 0.5
  picture_of undo "$undo"
  check_that "No leaves the device as it is" "the box is still open" answer_box "$undo" n
else
  check_fail "Ctrl+Z asks \"Undo Changes To This Device\" with what it would put back" "no such box"
fi
pointer_away 0.5

# 6. Measuring: a double click on the row opens the meter of that device.
xdotool mousemove $((WIN_X + 100)) $((WIN_Y + $(row_y 1) + 10)) click --repeat 2 --delay 80 1
if meter=$(wait_window "$meter_title" 20); then
  check_pass "a double click on the row opens \"$meter_title\""
  read -r mx my mw _ < <(window_client "$meter_title")
  xdotool mousemove $((mx + mw - 20)) $((my + 40))
  sleep 3
  picture_of rate-meter "$meter"
  xdotool click 1
  pause 0.3
  xdotool key Escape
  for _ in $(seq 1 "$(slow_int 20)"); do
    sleep 0.5
    visible "$meter" || break
  done
  check_that "Escape closes the meter" "it is still open" test -z "$(xdotool search --onlyvisible --name "^$meter_title\$" 2>/dev/null)"
else
  check_fail "a double click on the row opens \"$meter_title\"" "no such window"
fi

# 7. The report for support: "Copy IDs", with its hint.
hint=$(hint_at 551 $((foot_y + 20)))
check_that "\"Copy IDs\" says what it copies" "its hint is \"$hint\"" \
  test "$hint" = "Copy Device And Controller IDs to Clipboard."
picture_window copy-ids 40
pointer_away 0.5

check_escape_closes 800
check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
optical = devices.get("USB\\VID_1BCF&PID_0005\\5&1A2B3C4D&0&2", {})
row = lambda r: grid[r] if r < len(grid) else []
check("the guide's devices are listed: the gaming mouse, then the optical mouse",
      row(1)[:1] == ["USB Composite Device - Gaming Mouse"] and row(2)[:1] == ["Optical Mouse"], "rows %r" % grid[1:3])
check("after the restart the gaming mouse shows \"Yes\", \"500\" and bInterval 2",
      row(1)[1:4] == ["Yes", "500", "2"], "row 1 %r" % row(1))
check("the registry holds the filter", [f.lower() for f in gaming.get("lowerFilters", [])[:1]] == ["morvane"],
      gaming.get("lowerFilters"))
check("the declined optical mouse is unchanged", optical.get("lowerFilters") == [] and row(2)[1:3] == ["No", "Default"],
      "%r, row 2 %r" % (optical.get("lowerFilters"), row(2)))
meter = state.get("meter", [])
check("the meter measured the gaming mouse", len(meter) > 1 and
      meter[0] == "Polling Rate - USB Composite Device - Gaming Mouse", meter)
import re
check("after the restart the meter's verdict is the guide's: reaches 500 reports/s, as set",
      any(re.fullmatch(r"Reaches (49[5-9]|50[0-5]) reports/s, as set\.", line) for line in meter), meter)
PY

# The guide shows only pictures this test takes.
shown=$(grep -oE 'images/[a-z0-9-]+\.png' "$guide" | sed 's#images/##' | sort -u)
missing=""
for name in $shown; do
  case " ${taken[*]} " in *" $name "*) ;; *) missing="$missing $name" ;; esac
done
check_that "the guide shows only pictures this test takes" "not taken:$missing" test -z "$missing"
check_that "the guide shows every picture this test takes" "taken: ${taken[*]}; shown: $(echo $shown)" \
  test "$(echo $shown)" = "$(printf '%s\n' "${taken[@]}" | sort -u | tr '\n' ' ' | sed 's/ $//')"
echo "pictures in $images: ${taken[*]}"
checks_finish
