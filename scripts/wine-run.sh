#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator ctest uses for the Windows builds.
#
# MORVANE_WINE_PREFIX_KIND chooses the prefix, each made once in the build folder:
#   win64 (default)  build/win64/wineprefix, for the x86_64 programs (unless WINEPREFIX is set)
#   win64-framed     build/win64/wineprefix-framed: a 64-bit prefix in which Wine draws every
#                    window's frame and caption itself (its X11 driver's "Managed" set to N),
#                    so the X window holds the frame too; for the GUI tests that must hold
#                    either way
#   wow64            build/win32/wineprefix-wow64: a 64-bit prefix, where a 32-bit program
#                    is a WOW64 process as on every 64-bit Windows
#   x86              build/win32/wineprefix-x86: a 32-bit-only prefix (WINEARCH=win32), as
#                    a 32-bit Windows
# The 32-bit kinds need the 32-bit loader (Debian's wine32:i386) and a kernel that runs
# 32-bit programs. Where it cannot run, the script says why on one line and exits 77,
# which ctest counts as skipped.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
kind=${MORVANE_WINE_PREFIX_KIND:-win64}
own_prefix=""

find_first() {
  local candidate
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return 0; fi
  done
  return 1
}

wine64=$(find_first wine64 /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 wine) || wine64=""
wine32=$(find_first /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine) || wine32=""

case "$kind" in
  win64)
    [ -n "$wine64" ] || { echo "wine-run: no wine64 loader found" >&2; exit 127; }
    loader=$wine64 boot_loader=$wine64 arch=win64
    [ -n "${WINEPREFIX:-}" ] || own_prefix=1
    export WINEPREFIX="${WINEPREFIX:-$here/build/win64/wineprefix}"
    ;;
  win64-framed)
    [ -n "$wine64" ] || { echo "wine-run: no wine64 loader found" >&2; exit 127; }
    loader=$wine64 boot_loader=$wine64 arch=win64
    export WINEPREFIX="$here/build/win64/wineprefix-framed"
    own_prefix=1
    ;;
  wow64 | x86)
    # One line that says why, the same line scripts/test.sh prints for the whole set.
    if ! reason=$(bash "$here/scripts/probe-wine32.sh" 2>&1); then
      echo "wine-run: SKIP: $reason"
      exit 77
    fi
    loader=$wine32
    if [ "$kind" = wow64 ]; then boot_loader=$wine64 arch=win64; else boot_loader=$wine32 arch=win32; fi
    # The prefix's own tools (sc, reg) run as 64-bit programs in the WOW64 prefix when
    # asked for, as they do on 64-bit Windows.
    if [ "$kind" = wow64 ] && [ -n "${MORVANE_WINE_PREFIX_TOOLS:-}" ]; then loader=$wine64; fi
    # MORVANE_WINE_PREFIX_DIR: where the 32-bit prefixes live when not in the build
    # folder (the emulated guest keeps them in its own disk, scripts/i686-guest.sh).
    export WINEPREFIX="${MORVANE_WINE_PREFIX_DIR:-$here/build/win32}/wineprefix-$kind"
    own_prefix=1
    ;;
  *)
    echo "wine-run: unknown MORVANE_WINE_PREFIX_KIND \"$kind\" (win64, win64-framed, wow64 or x86)" >&2
    exit 2
    ;;
esac

# ctest gives each Wine test a lane (tests/CMakeLists.txt, MORVANE_WINE_LANES): tests
# that run side by side (ctest -j) each get a prefix, and so a wineserver, of their own,
# since two programs in one wineserver share its foreground window and clipboard even
# on two screens. Lane 0 is the prefix above; lane N a copy of it made at first use.
# A prefix the caller chose (WINEPREFIX set by a test) is used as it is.
lane=$(sed -nE 's/^id:([0-9]+),.*/\1/p' <<<"${CTEST_RESOURCE_GROUP_0_LANE:-}")
lane_of=""
if [ -n "$own_prefix" ] && [ -n "$lane" ] && [ "$lane" != 0 ]; then
  lane_of=$WINEPREFIX
  export WINEPREFIX="$WINEPREFIX-lane$lane"
fi
export MORVANE_WINE_PREFIX_KIND=$kind
export WINEDEBUG="${WINEDEBUG:--all}"
# winedbg.exe off: a program that crashes ends at once with its exception code, instead
# of Wine's debugger and its crash dialog waiting for a click on a screen nobody sees.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}"
server=$(find_first "$(dirname "$boot_loader")/wineserver" wineserver wineserver64 /usr/lib/wine/wineserver \
                    /usr/lib/x86_64-linux-gnu/wine/wineserver) || server=""

# `wineboot --init` returns while the new prefix's first Wine session still runs its
# setup: a second services.exe comes up beside the first, and until that session ends
# the two answer the service manager's pipe in turn, so a service created through one
# connection is missing on the next (OpenService fails with 1060). Waiting for the
# wineserver to exit ends that session; every later program gets one service manager.
#
# Without a window manager Wine waits 2 s for one each time a window closes; with its
# X11 driver's "Managed" set to N it draws the frame itself and does not wait. The
# 32-bit prefixes and the win64-framed one have it for every program; the win64 prefix
# for the window framework's tests only, so that the other GUI tests run there with the
# X window as large as the client area, and in win64-framed with the frame around it
# (the tests read the client area's place through Win32, which holds either way).
#
# A prefix made before the 32-bit loader was installed cannot run 32-bit programs,
# and `wineboot -u` does not mend it: such a prefix is recognised by the missing
# marker and made again.
# The lock keeps programs started in parallel (ctest -j) out until the prefix is ready.
create_prefix() {
  local marker="$WINEPREFIX/.morvane-prefix"
  [ -f "$marker" ] && return 0
  if [ -d "$WINEPREFIX" ]; then
    # A 64-bit prefix made elsewhere (WINEPREFIX set by the user) is used as it is.
    [ "$kind" = win64 ] && return 0
    # The other kinds always live in a folder of ours, so an unmarked one is ours.
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  WINEARCH=$arch "$boot_loader" wineboot --init >/dev/null 2>&1 || true
  if [ -n "$server" ]; then "$server" -w; fi
  local key='HKCU\Software\Wine\X11 Driver'
  if [ "$kind" = win64 ]; then
    # Only for the framework tests, which measure windows through Win32, not on the screen.
    key='HKCU\Software\Wine\AppDefaults\win32-window.exe\X11 Driver'
  fi
  "$boot_loader" reg add "$key" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
  if [ -n "$server" ]; then "$server" -w; fi
  echo "$kind $(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$marker"
}

# Wine's own fonts ("MS Sans Serif", Tahoma, ...), which Debian's fonts-wine puts in
# /usr/share/wine/fonts, are not found there by this Wine: it looks in the prefix's
# C:\windows\Fonts and in the system's fontconfig fonts, and without them every face
# becomes a wider fallback. They are copied into the prefix (the ones still missing,
# so that a package installed after the prefix was made is picked up too).
install_fonts() {
  local dir fonts="$WINEPREFIX/drive_c/windows/Fonts"
  [ -d "$fonts" ] || return 0
  for dir in /usr/share/wine/fonts /usr/local/share/wine/fonts; do
    [ -d "$dir" ] || continue
    cp -n "$dir"/* "$fonts"/ 2>/dev/null || true
  done
}
# A lane's prefix: a copy of its kind's first prefix, made (under that one's lock) when
# missing. The wineserver replaces its registry files whole, so a copy taken while a
# program runs there holds the one or the other.
copy_lane_prefix() {
  [ -f "$WINEPREFIX/.morvane-prefix" ] && return 0
  local lane_prefix=$WINEPREFIX
  export WINEPREFIX=$lane_of
  exec 8>"$WINEPREFIX.lock"
  flock 8
  create_prefix
  install_fonts
  rm -rf "$lane_prefix.tmp"
  cp -a "$WINEPREFIX" "$lane_prefix.tmp" && rm -rf "$lane_prefix" && mv "$lane_prefix.tmp" "$lane_prefix"
  flock -u 8
  exec 8>&-
  export WINEPREFIX=$lane_prefix
}
# A wineserver keeps the size of the screen its desktop was started on (Wine reads the
# monitors once, when the desktop starts) and gives it to every program it serves: a
# program started on a test's new screen while the last test's server still lingers (a
# few seconds after its last program) is centred and clamped on the old screen. The
# first program on a new screen (on-virtual-screen.sh's mark) therefore ends the
# prefix's server first. A lane belongs to one test at a time, so nothing else runs there.
fresh_server_for_screen() {
  [ -n "${MORVANE_SCREEN_ID:-}" ] && [ -n "$server" ] || return 0
  local mark="$WINEPREFIX/.morvane-screen"
  [ "$(cat "$mark" 2>/dev/null)" = "$MORVANE_SCREEN_ID" ] && return 0
  "$server" -k 2>/dev/null
  "$server" -w 2>/dev/null
  echo "$MORVANE_SCREEN_ID" >"$mark"
}
mkdir -p "$(dirname "$WINEPREFIX")"
if command -v flock >/dev/null 2>&1; then
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ -n "$lane_of" ]; then copy_lane_prefix; fi
  create_prefix
  install_fonts
  fresh_server_for_screen
  flock -u 9
  exec 9>&-
else
  create_prefix
  install_fonts
  fresh_server_for_screen
fi
exec "$loader" "$@"
