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
if [ ! -d "$WINEPREFIX" ]; then
  mkdir -p "$WINEPREFIX"
  "$loader" wineboot --init >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
