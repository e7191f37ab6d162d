#!/usr/bin/env bash
# Installs what is missing, then configures and builds every preset:
# linux (native, with the simulated machine and the tests), win32 (i686) and win64 (x86_64).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in linux win32 win64; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done
echo "Built: native in build/linux, i686 in build/win32, x86_64 in build/win64."
