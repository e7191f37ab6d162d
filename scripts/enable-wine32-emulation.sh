#!/usr/bin/env bash
# On a machine whose kernel does not run 32-bit programs, lets 32-bit Wine run under
# qemu's user-mode emulation of i386 (Debian's qemu-user-static, registered with the
# kernel's binfmt_misc), so that the i686 tests can be run by hand:
#   bash scripts/enable-wine32-emulation.sh
#   ctest --test-dir build/win32 -R '@wow64' --output-on-failure
# It is slow: every 32-bit process takes about a minute to start (qemu searches the
# guest address space for each of Wine's reservations), so the test command does not
# use it. Making a 32-bit-only prefix this way fails ("could not load kernel32.dll");
# only the WOW64 prefix works. `echo 0 > /proc/sys/fs/binfmt_misc/qemu-i386` turns it off.
set -euo pipefail
if bash "$(dirname "$0")/probe-wine32.sh" >/dev/null 2>&1 && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  echo "enable-wine32-emulation: 32-bit programs run natively here; nothing to do"
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed' ||
  apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ -e "$binfmt/qemu-i386" ]; then
  echo 1 >"$binfmt/qemu-i386"
else
  # 32-bit little-endian ELF executables for the i386 machine; F: the interpreter is
  # opened now, so it is found from every mount namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    >"$binfmt/register"
fi
bash "$(dirname "$0")/probe-wine32.sh" && echo "enable-wine32-emulation: $(/usr/lib/wine/wine --version) runs under qemu-i386"
