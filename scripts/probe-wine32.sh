#!/usr/bin/env bash
# Tells whether 32-bit Windows programs can run under Wine on this machine: exits 0
# when the 32-bit loader starts, else prints one line that says why and exits 1.
set -u
loader=""
for candidate in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
  [ -x "$candidate" ] && { loader=$candidate; break; }
done
if [ -z "$loader" ]; then
  echo "32-bit Wine is not installed (Debian's wine32:i386 provides /usr/lib/wine/wine)"
  exit 1
fi
if ! output=$("$loader" --version 2>&1); then
  case "$output" in
    *"Exec format error"* | *"cannot execute binary file"*)
      echo "this machine's kernel does not run 32-bit programs ($loader: Exec format error), so 32-bit Wine cannot start"
      ;;
    *)
      echo "the 32-bit Wine loader $loader does not start: $(head -n1 <<<"$output")"
      ;;
  esac
  exit 1
fi
exit 0
