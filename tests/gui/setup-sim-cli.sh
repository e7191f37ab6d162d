#!/usr/bin/env bash
# setup-sim.exe's command line under Wine over gui-machine.json: "/list /json" parses
# as JSON and lists the rows the window draws for category "All"; "/set" changes the
# state file's lower filters and rate; an ID that matches nothing ends with exit code 2;
# an /out that cannot be made ends with exit code 10 and a line on the standard error,
# and runs nothing; a /snapshot that cannot be written ends with exit code 5 and its
# line, without a box that would wait for a click; /restart is seen and said; /measure
# reads a simulated 1,000 Hz stream through its own hidden window and its exit code
# agrees with its JSON.
# Usage: setup-sim-cli.sh <wine runner> <setup-sim.exe> <work folder> <machine file>
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=gui-lib.sh
. "$here/gui-lib.sh"
sim_test_begin setup-sim-cli "$@"
sim_use_machine "$machine"

# The window's rows for "All", from the state file it leaves.
sim_start /all
check_main_window
check_escape_closes 800
window_state="$work/window-state.json"
cp "$dump" "$window_state" 2>/dev/null || true

list="$work/list.json"
rm -f "$list"
"$runner" "$exe" /list /json /out "$(wine_path "$list")"
code=$?
check_that "/list /json ends with exit code 0" "exit code $code" test "$code" -eq 0
check_that "/list /json writes JSON" "$(head -c 300 "$list" 2>/dev/null)" python3 -m json.tool "$list" /dev/null
compare=$(python3 - "$window_state" "$list" <<'PY'
import json, sys
grid = json.load(open(sys.argv[1]))["grid"][1:]
rows = json.load(open(sys.argv[2]))["devices"]
listed = [[r["name"], "Yes" if r["filter"] else "No", r["rate"], r["bInterval"], r["children"], r["controller"]]
          for r in rows]
drawn = [row[:6] + [""] * (6 - len(row[:6])) for row in grid if any(row)]
print("same" if listed == drawn and listed else "listed %r, drawn %r" % (listed, drawn))
PY
)
check_that "/list /json lists the rows the window draws for \"All\"" "$compare" test "$compare" = same

text=$("$runner" "$exe" /list all)
check_that "/list writes its table to the standard output" "$(printf '%s' "$text" | head -2)" \
  grep -q "^Instance ID  *Name  *Filter  *Rate" <<<"$text"

rm -f "$dump"
out=$("$runner" "$exe" /set 'USB\VID_046D&PID_C08B\*' /filter on /rate 500 /yes)
code=$?
check_that "/set ends with exit code 0" "exit code $code: $out" test "$code" -eq 0
check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
check("/set puts the filter first in LowerFilters", [f.lower() for f in gaming.get("lowerFilters", [])[:1]] == ["morvane"],
      "LowerFilters %r" % gaming.get("lowerFilters"))
value = (gaming.get("driverKey") or {}).get("bInterval", {}).get("value")
check("/set writes the rate 500 as bInterval 2", value == 2, "bInterval %r" % value)
PY

out=$("$runner" "$exe" /set 'USB\VID_FFFF*' /filter on)
code=$?
check_that "an ID that matches nothing ends with exit code 2" "exit code $code" test "$code" -eq 2
check_that "and says so in one line" "$out" grep -q '^error: no present USB device .*"USB\\VID_FFFF\*"' <<<"$out"

err="$work/stderr.txt"
rm -f "$dump"
out=$("$runner" "$exe" /set 'USB\VID_046D&PID_C08B\*' /rate 500 /yes /out 'Z:\no\such\folder\set.log' 2>"$err")
code=$?
check_that "an /out that cannot be made ends with exit code 10" "exit code $code: $out" test "$code" -eq 10
check_that "and says so on the standard error" "$(cat "$err" 2>/dev/null)" \
  grep -q '^error: the output file "Z:\\no\\such\\folder\\set.log" cannot be created (code 3' "$err"
check_state_file <<'PY'
gaming = devices.get("USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1", {})
value = (gaming.get("driverKey") or {}).get("bInterval", {}).get("value")
check("and the command was not run: no rate 500 (bInterval 2) was written", value != 2, "bInterval %r" % value)
PY

started=$(date +%s)
out=$(timeout 300 "$runner" "$exe" /snapshot 'Z:\no\such\folder\pc.json' 2>/dev/null)
code=$?
check_that "a /snapshot that cannot be written ends with exit code 5, no box waiting for a click" \
  "exit code $code after $(( $(date +%s) - started )) s: $out" test "$code" -eq 5
check_that "and says why in an error line" "$out" grep -q '^error: The PC snapshot could not be written' <<<"$out"

out=$("$runner" "$exe" /set 'USB\VID_046D&PID_C08B\*' /restart)
code=$?
check_that "/restart of a device that went away and came back ends with exit code 0" "exit code $code: $out" \
  test "$code" -eq 0
check_that "and says it restarted" "$out" grep -q '^USB\\VID_046D&PID_C08B\\.*: restarted' <<<"$out"

measure="$work/measure.json"
rm -f "$measure"
MORVANE_RAW_INPUT='1000:USB\VID_046D&PID_C08B\5&1A2B3C4D&0&1' \
  "$runner" "$exe" /measure 'USB\VID_046D&PID_C08B\*' /seconds 2 /json /out "$(wine_path "$measure")"
code=$?
verdict=$(CODE=$code python3 - "$measure" <<'PY' 2>&1
import json, os, sys
m = json.load(open(sys.argv[1]))
code = int(os.environ["CODE"])
problems = []
if not m["device"].startswith("USB\\VID_046D&PID_C08B\\"): problems.append("device %r" % m["device"])
if abs(m["rate"] - 1000) > 10: problems.append("rate %r" % m["rate"])
if m["reports"] < 1000: problems.append("reports %r" % m["reports"])
if m["reached"] != (code == 0) or code not in (0, 12): problems.append("exit code %d, reached %r" % (code, m["reached"]))
print("; ".join(problems) or "ok")
PY
)
check_that "/measure reads the stream through its window and its exit code agrees with its JSON" "$verdict" \
  test "$verdict" = ok

checks_finish
