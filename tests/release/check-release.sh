#!/usr/bin/env bash
# Packs the shipped builds twice with scripts/release.sh --no-build and checks what a
# user downloads: the same bytes both times; the archive's entries, in order, with one
# fixed time; SHA256SUMS matching the files; README.txt in CR LF; and one version in the
# archive's name, each program's version resource (read through GetFileVersionInfoA) and
# `/version` (setup-sim.exe's; the real setup.exe's is checked by setup-exe-cli); and no
# build time in the programs' headers, which would make each build's archive differ.
# Usage: check-release.sh <wine runner> <file-version.exe> <setup-sim.exe> <version> <work folder> <objdump>
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source=../gui/checks-lib.sh
. "$here/../gui/checks-lib.sh"
runner=$1 probe=$2 sim=$3 version=$4 work=$5 objdump=$6
for file in "$root/build/win32-release/setup/win32/setup.exe" "$root/build/win64-release/talon64/TALON64.EXE"; do
  if [ ! -f "$file" ]; then echo "SKIP: $file has not been built (presets win32-release, win64-release)"; exit 77; fi
done
checks_begin release-archive
rm -rf "$work"
mkdir -p "$work/first" "$work/second" "$work/unpacked"

pack() { MORVANE_DIST="$1" bash "$root/scripts/release.sh" --no-build >"$1.log" 2>&1; }
pack "$work/first"
code=$?
check_that "release.sh packs the shipped builds" "exit code $code: $(cat "$work/first.log")" test "$code" -eq 0
archive=$work/first/morvane-setup-$version.zip
check_that "the archive is named with the project's version" "$(ls "$work/first")" test -f "$archive"
check_that "the debug files have their own archive" "$(ls "$work/first")" \
  test -f "$work/first/morvane-setup-$version-debug.zip"
[ -f "$archive" ] || { checks_finish; exit 1; }
pack "$work/second"
first_sum=$(cat "$work/first"/*.zip | sha256sum)
second_sum=$(cat "$work/second"/*.zip | sha256sum)
check_that "packing twice gives the same bytes" "$first_sum / $second_sum" test "$first_sum" = "$second_sum"

listing=$(python3 - "$archive" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for i in z.infolist():
        print(i.filename, "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time)
PY
)
names=$(cut -d' ' -f1 <<<"$listing" | tr '\n' ' ')
check_that "the archive holds the six files, in order" "$names" \
  test "$names" = "README.txt SHA256SUMS TALON64.EXE morvane.inf setup.exe varnel.dll "
times=$(cut -d' ' -f2- <<<"$listing" | sort -u | wc -l)
check_that "every entry has the same time" "$listing" test "$times" -eq 1
commit_time=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)
expected_time=$(date -u -d "@$commit_time" '+%Y-%m-%d %H:%M')
check_that "that time is the last commit's" "$listing / $expected_time" grep -q " $expected_time" <<<"$listing"

python3 -m zipfile -e "$archive" "$work/unpacked"
sums=$(cd "$work/unpacked" && sha256sum -c SHA256SUMS 2>&1)
check_that "SHA256SUMS matches every file" "$sums" test "$(grep -c ': OK$' <<<"$sums")" -eq 5
check_that "the shipped setup.exe is the one packed" "setup.exe differs" \
  cmp -s "$root/build/win32-release/setup/win32/setup.exe" "$work/unpacked/setup.exe"
readme=$work/unpacked/README.txt
lines=$(wc -l <"$readme")
crlf=$(grep -c $'\r$' "$readme")
check_that "README.txt ends every line with CR LF" "$crlf of $lines lines" test "$lines" -gt 0 -a "$crlf" -eq "$lines"
check_that "README.txt names the version" "$(head -n1 "$readme")" grep -q "^MORVANE Setup $version"$'\r$' "$readme"
check_that "README.txt says the driver is not in the package" "no such line" grep -q "morvane.sys, is NOT part of this package" "$readme"

# Wine maps the host's root to drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
for program in setup.exe TALON64.EXE varnel.dll; do
  # A link or strip time in the header would make every build's archive differ.
  stamp=$(TZ=UTC "$objdump" -p "$work/unpacked/$program" | sed -nE 's/^Time\/Date\t+//p' | head -n1)
  check_that "$program carries no build time" "its header says $stamp" test "$stamp" = "Thu Jan  1 00:00:00 1970"
  info=$("$runner" "$probe" "$(windows_path "$work/unpacked/$program")" 2>&1 | tr -d '\r')
  check_that "$program's version resource says $version" "$info" \
    grep -qx "fixed $version.0" <<<"$info"
  check_that "$program's FileVersion and ProductVersion say $version" "$info" \
    test "$(grep -cxE "(File|Product)Version $version" <<<"$info")" -eq 2
  check_that "$program's resource names its own file" "$info" grep -qx "OriginalFilename $program" <<<"$info"
done
said=$("$runner" "$sim" /version 2>&1 | tr -d '\r')
check_that "setup-sim.exe /version says $version" "$said" test "$said" = "MORVANE Setup $version"
checks_finish
