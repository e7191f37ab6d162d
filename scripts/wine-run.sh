#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator ctest uses for the win64 build.
# The Wine prefix lives in the build folder and is created once.
set -u
loader=""
for candidate in wine64 /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 wine; do
  if command -v "$candidate" >/dev/null 2>&1; then loader=$(command -v "$candidate"); break; fi
done
if [ -z "$loader" ]; then echo "wine-run: no wine64 loader found" >&2; exit 127; fi
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/win64/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
server=""
for candidate in "$(dirname "$loader")/wineserver" wineserver wineserver64 /usr/lib/wine/wineserver \
                 /usr/lib/x86_64-linux-gnu/wine/wineserver; do
  if command -v "$candidate" >/dev/null 2>&1; then server=$(command -v "$candidate"); break; fi
done

# `wineboot --init` returns while the new prefix's first Wine session still runs its
# setup: a second services.exe comes up beside the first, and until that session ends
# the two answer the service manager's pipe in turn, so a service created through one
# connection is missing on the next (OpenService fails with 1060). Waiting for the
# wineserver to exit ends that session; every later program gets one service manager.
# The lock keeps programs started in parallel (ctest -j) out until the prefix is ready.
create_prefix() {
  [ -d "$WINEPREFIX" ] && return 0
  mkdir -p "$WINEPREFIX"
  "$loader" wineboot --init >/dev/null 2>&1 || true
  if [ -n "$server" ]; then "$server" -w; fi
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
mkdir -p "$(dirname "$WINEPREFIX")"
if command -v flock >/dev/null 2>&1; then
  exec 9>"$WINEPREFIX.lock"
  flock 9
  create_prefix
  install_fonts
  flock -u 9
  exec 9>&-
else
  create_prefix
  install_fonts
fi
exec "$loader" "$@"
