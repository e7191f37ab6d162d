# Shell helpers for driving setup-sim.exe under Wine on an X display: finding
# windows, clicking at client coordinates, answering question boxes, reading pixels
# of a screenshot. Sourced by run.sh and the GUI test.

# Windows paths for Wine (its drive Z: is the Unix root).
wine_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

# The X window id of a window with exactly this title, waiting up to $2 seconds.
wait_window() {
  local title=$1 seconds=${2:-60} id=""
  local deadline=$((SECONDS + seconds))
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.3
  done
  return 1
}

# "X Y W H" of a window on the screen. Without a window manager Wine draws no frame,
# so X Y is the top-left corner of the client area.
window_geometry() {
  local out
  out=$(xdotool getwindowgeometry "$1") || return 1
  local pos size
  pos=$(sed -nE 's/.*Position: ([0-9-]+),([0-9-]+).*/\1 \2/p' <<<"$out")
  size=$(sed -nE 's/.*Geometry: ([0-9]+)x([0-9]+).*/\1 \2/p' <<<"$out")
  echo "$pos $size"
}

# Clicks at client coordinates (x, y) of the window whose geometry is in WIN_X/WIN_Y.
click_at() {
  xdotool mousemove $((WIN_X + $1)) $((WIN_Y + $2)) click 1
  sleep 0.4
}

# True while the X window $1 is mapped.
visible() { xdotool search --onlyvisible --name '.*' 2>/dev/null | grep -qx "$1"; }

# Answers the message box (X window id $1) with the key $2, the mnemonic of a button
# ("y" for Yes, "n" for No, Return for the default one), and waits until it has gone.
# Without a window manager the keys go to the window under the pointer, so the pointer
# rests on the box's corner first (away from its buttons); and the first key after a
# box appears can be lost under Wine, so the key is given again while the box stays.
# Fails when the box is still there after four keys.
answer_box() {
  local id=$1 key=$2 try bx by
  read -r bx by _ _ < <(window_geometry "$id")
  xdotool mousemove $((bx + 4)) $((by + 4))
  sleep 0.2
  for try in 1 2 3 4; do
    xdotool key "$key"
    sleep 0.7
    visible "$id" || return 0
  done
  return 1
}

# Answers Yes to every question box (" Warning !!!", " Information") that appears
# within $1 seconds of quiet; echoes how many were answered.
answer_questions_yes() {
  local quiet=${1:-2} answered=0 id
  local deadline=$((SECONDS + quiet))
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name '^ (Warning !!!|Information)$' 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      answer_box "$id" y || true
      answered=$((answered + 1))
      deadline=$((SECONDS + quiet))
    else
      sleep 0.3
    fi
  done
  echo "$answered"
}

# "R G B" of one pixel of an image.
pixel() {
  convert "$1" -crop "1x1+$2+$3" +repage -depth 8 txt:- | sed -nE '2s/.*\(([0-9]+),([0-9]+),([0-9]+).*/\1 \2 \3/p'
}
