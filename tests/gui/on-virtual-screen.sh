#!/usr/bin/env bash
# Runs a command with an X display: the current one, or a virtual screen (Xvfb)
# for the length of the command when there is none. Windows under Wine need one.
# MORVANE_SCREEN asks for a screen of that size (a window at 144 pixels per inch needs
# more room than the usual screen): the command then always gets a virtual screen of
# its own, whatever display the caller has.
set -u
if [ -n "${DISPLAY:-}" ] && [ -z "${MORVANE_SCREEN:-}" ]; then exec "$@"; fi
unset DISPLAY
exec xvfb-run -a -s "-screen 0 ${MORVANE_SCREEN:-1280x800x24}" "$@"
