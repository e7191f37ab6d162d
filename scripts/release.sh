#!/usr/bin/env bash
# Builds the shipped programs (presets win32-release and win64-release) and packs them
# for users:
#   dist/morvane-setup-<version>.zip        setup.exe, TALON64.EXE, varnel.dll, morvane.inf,
#                                           README.txt (CR LF) and SHA256SUMS
#   dist/morvane-setup-<version>-debug.zip  the programs' .debug files, for reading a crash
# The version is the project's (CMakeLists.txt), as in the programs' version resources and
# `setup.exe /version`. Every time in the archives is the last commit's, and the programs
# carry no link time, so the same sources give the same archive bytes.
# --no-build packs what the presets built last. MORVANE_DIST names another output folder.
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
case "${1:-}" in
  "") ;;
  --no-build) build="" ;;
  *) echo "usage: bash scripts/release.sh [--no-build]" >&2; exit 2 ;;
esac
if [ -n "$build" ]; then
  bash scripts/install-deps.sh
  for preset in win32-release win64-release; do
    echo "== build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
  done
fi

version_of() {
  sed -nE 's/^#define MORVANE_VERSION_TEXT "(.*)"$/\1/p' "build/$1/generated/morvane/MorvaneVersion.h" 2>/dev/null
}
version=$(version_of win32-release)
if [ -z "$version" ] || [ "$version" != "$(version_of win64-release)" ]; then
  echo "release: the win32-release and win64-release builds do not name one version (build them first)" >&2
  exit 1
fi

setup_exe=build/win32-release/setup/win32/setup.exe
talon_exe=build/win64-release/talon64/TALON64.EXE
varnel_dll=build/win64-release/varnel/varnel.dll
for file in "$setup_exe" "$talon_exe" "$varnel_dll" "$setup_exe.debug" "$talon_exe.debug" "$varnel_dll.debug"; do
  [ -f "$file" ] || { echo "release: $file was not built" >&2; exit 1; }
done

# The last commit's time; a copy of the sources without git takes 1980-01-01, the first
# time a zip can hold.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$setup_exe" "$talon_exe" "$varnel_dll" inf/morvane.inf "$stage/"
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' release/README.txt.in >"$stage/README.txt"
(cd "$stage" && sha256sum setup.exe TALON64.EXE varnel.dll morvane.inf README.txt >SHA256SUMS)

dist=${MORVANE_DIST:-dist}
mkdir -p "$dist"
archive=$dist/morvane-setup-$version.zip
debug_archive=$dist/morvane-setup-$version-debug.zip
rm -f "$archive" "$debug_archive"
entries=()
for name in setup.exe TALON64.EXE varnel.dll morvane.inf README.txt SHA256SUMS; do
  entries+=("$name=$stage/$name")
done
python3 release/make-zip.py "$archive" "$epoch" "${entries[@]}"
python3 release/make-zip.py "$debug_archive" "$epoch" \
  "setup.exe.debug=$setup_exe.debug" "TALON64.EXE.debug=$talon_exe.debug" "varnel.dll.debug=$varnel_dll.debug"
echo "release: MORVANE Setup $version"
sha256sum "$archive" "$debug_archive"
