#!/usr/bin/env bash
# setup-sim.exe over gui-machine.json where this program had put its filter after
# another driver's on the gaming mouse (the journal says so) and the second mouse
# holds it before another filter. The system menu's two items by their keys:
#  - "Undo Changes To This Device..." (Ctrl+Z) on the gaming mouse lists the mouse's
#    LowerFilters as they are and as they will be; Yes puts them back and a box says
#    what was done;
#  - "Remove The Filter From All Devices..." (Ctrl+U) lists the second mouse's list
#    without the filter and the removal of the service; Yes does it.
# The state file then shows both lists with every other filter kept, no service
# "morvane", and the journal's entries of both, done.
# Usage: setup-sim-way-back.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-way-back "$@"
changed="$work/machine-way-back.json"
python3 - "$machine" "$changed" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
gaming = "USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1"
other = "USB\\VID_1BCF&PID_0005\\5&1A2B3C4D&0&2"
for device in machine["devices"]:
    if device["id"] == gaming:
        device.setdefault("properties", {})["LowerFilters"] = ["ravenflt", "morvane"]
    if device["id"] == other:
        device.setdefault("properties", {})["LowerFilters"] = ["morvane", "kbfilter"]
journal = ("MORVANE JOURNAL 1\n1\tdone\t2026-12-09T04:00:00Z\t/set %s /filter on\t%s\tUSB\\VID_046D&PID_C08B\t"
           "=ravenflt\t=ravenflt%%7Cmorvane\t-\t-\t-\n" % (gaming, gaming))
machine["system"].setdefault("registry", {})["SOFTWARE\\Morvane"] = {
    "Journal": {"type": 3, "hex": journal.encode("ascii").hex()}}
json.dump(machine, open(sys.argv[2], "w"), indent=1)
PY
sim_use_machine "$changed"
sim_start /mice
check_main_window
pointer_away 1.5

# Opens the item by its key (the keys go to the window under the pointer: the empty
# head panel), checks that its question lists $3 and $4, answers Yes, and returns
# the outcome box's text in OUTCOME.
ask_and_do() {
  local key=$1 title=$2 first=$3 second=$4 box text
  OUTCOME=""
  xdotool mousemove $((WIN_X + 800)) $((WIN_Y + 20))
  pause 0.3
  xdotool key "$key"
  if ! box=$(wait_window "$title" 20); then
    check_fail "$key asks \"$title\"" "no such box"
    return
  fi
  pause 0.5
  import -window root "$work/$key-question.png" 2>/dev/null || true
  text=$(probe box "$title")
  check_that "the question \"$title\" lists what will change" "it says: $text" \
    grep -qxF "$first" <<<"$text"
  check_that "and it lists $second" "it says: $text" grep -qF "$second" <<<"$text"
  check_that "Yes answers it" "the box is still open" answer_box "$box" y
  if ! box=$(wait_window "$title" 20); then
    check_fail "a box \"$title\" says what was done" "no such box"
    return
  fi
  pause 0.5
  OUTCOME=$(probe box "$title")
  answer_box "$box" Return || true
}

ask_and_do ctrl+z "Undo Changes To This Device" \
  'USB\VID_046D&PID_C08B\5&1A2B3C4D&0&1: LowerFilters ravenflt,morvane -> ravenflt' "Continue?"
check_that "the undo says the list was put back" "it says: $OUTCOME" \
  grep -qF 'USB\VID_046D&PID_C08B\5&1A2B3C4D&0&1: LowerFilters ravenflt,morvane -> ravenflt' <<<"$OUTCOME"
pause 3
ask_and_do ctrl+u "Remove The Filter From All Devices" \
  'USB\VID_1BCF&PID_0005\5&1A2B3C4D&0&2: LowerFilters morvane,kbfilter -> kbfilter' "service morvane: removed"
check_that "the removal says the service was removed" "it says: $OUTCOME" grep -qF 'service morvane removed' <<<"$OUTCOME"
pause 2
check_escape_closes 800

check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
other = devices.get("USB\\VID_1BCF&PID_0005\\5&1A2B3C4D&0&2", {})
journal = state.get("journal") or []
print("lower filters after:", gaming.get("lowerFilters"), other.get("lowerFilters"))
print("journal:", journal)
check("the undo put the gaming mouse's list back as it was", gaming.get("lowerFilters") == ["ravenflt"],
      "LowerFilters %r" % gaming.get("lowerFilters"))
check("the removal kept the other filter of the second mouse", other.get("lowerFilters") == ["kbfilter"],
      "LowerFilters %r" % other.get("lowerFilters"))
check("the service is removed", all(s["name"].lower() != "morvane" for s in state.get("services", [])),
      "services %r" % state.get("services"))
check("the journal holds the undo and the removal, done",
      any("\t/restore " in l and "\tdone\t" in l for l in journal)
      and any("\t/uninstall\t" in l and "\tdone\t" in l for l in journal), "journal %r" % journal)
PY
checks_finish setup-sim-way-back
status=$?
[ $status -eq 0 ] && echo "setup-sim.exe: the undo and the removal listed their changes and made them; screenshots in $work" ||
  echo "$(checks_failed) check(s) failed; screenshots in $work"
exit $status
