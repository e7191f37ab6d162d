# The slow-machine factor of the GUI tests: MORVANE_SLOW (default 1, an integer or a
# decimal fraction such as 2.5) multiplies every wait and time limit of the scripts, so
# that a slower machine (an emulated one runs the i686 tests about four times slower)
# sets one number instead of each script's limits. Durations that are measured (how long
# the pointer moves, how long a rate is counted) stay as they are; the slack around them
# grows with the factor.
#   slow SECONDS      the seconds times the factor (a decimal number, for sleep)
#   slow_int SECONDS  the same rounded up to whole seconds (for deadlines and counts)
#   pause SECONDS     sleeps the seconds times the factor
# Sourced by gui-lib.sh and the scripts that do not source it.

MORVANE_SLOW=${MORVANE_SLOW:-1}
if ! awk -v f="$MORVANE_SLOW" 'BEGIN { exit !(f ~ /^[0-9]+(\.[0-9]+)?$/ && f > 0) }'; then
  echo "MORVANE_SLOW must be a positive number (such as 1, 4 or 2.5), not \"$MORVANE_SLOW\"" >&2
  exit 2
fi
export MORVANE_SLOW

slow() { awk -v s="$1" -v f="$MORVANE_SLOW" 'BEGIN { printf "%.3f\n", s * f }'; }
slow_int() { awk -v s="$1" -v f="$MORVANE_SLOW" 'BEGIN { t = s * f; i = int(t); print (i < t) ? i + 1 : i }'; }
pause() { sleep "$(slow "$1")"; }
