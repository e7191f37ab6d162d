#!/usr/bin/env bash
# Takes the pictures of docs/user-guide.md again, into docs/images/: the GUI test
# setup-sim-guide does the guide's tasks in setup-sim.exe (preset win64) on a virtual
# screen and writes its pictures there. The test fails, and the pictures should not be
# committed, when the window no longer does what the guide says.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j2 --target setup-sim gui-probe
MORVANE_GUIDE_IMAGES=$PWD/docs/images xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir build/win64 --output-on-failure -R '^setup-sim-guide$'
ls -l docs/images
