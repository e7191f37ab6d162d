#!/usr/bin/env bash
# Runs a command with an X display: the current one, or a virtual screen (Xvfb)
# for the length of the command when there is none. Windows under Wine need one.
set -u
if [ -n "${DISPLAY:-}" ]; then exec "$@"; fi
# MORVANE_SCREEN sets the screen size (a window at 144 pixels per inch needs more room).
exec xvfb-run -a -s "-screen 0 ${MORVANE_SCREEN:-1280x800x24}" "$@"
