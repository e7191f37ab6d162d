#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian machine.
# Idempotent: packages that are already present are not touched, and apt is
# only consulted when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libgmock-dev nlohmann-json3-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 wine32:i386 fonts-wine xvfb xauth imagemagick xdotool
  # The fuzz targets (scripts/fuzz.sh): clang, and its runtime with libFuzzer and the sanitizers.
  clang libclang-rt-14-dev
  # The emulated guest that runs the i686 tests where the kernel refuses 32-bit
  # programs (scripts/i686-guest.sh).
  qemu-system-x86 mmdebstrap e2fsprogs
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# The 32-bit Wine loader (wine32:i386) runs the i686 builds; it needs the i386
# architecture in dpkg before apt can see it.
added_i386=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  added_i386=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ -z "$added_i386" ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
