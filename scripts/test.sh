#!/usr/bin/env bash
# The test command: installs what is missing, configures and builds the presets
# win32-release, win64-release (the shipped files), win32, win64 and linux-asan, runs the
# native tests under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets,
# the x86_64 Windows-side tests under Wine, and the i686 ones under 32-bit Wine in a WOW64
# prefix and in a 32-bit-only one (on virtual screens). Where 32-bit Wine cannot run, one
# line says why and those tests are counted as skipped, without a test run of their own.
# Ends with one line: how many passed, failed and were skipped.
#
# The Windows-side tests mostly wait for windows, so they run beside the native build
# and tests: first the Windows builds, then the Wine tests in the background (ctest -j3,
# each test in a lane with its own Wine prefix and screen) while the sanitizer build,
# its tests and the fuzz targets take the processors at a lower priority. Each step's
# output is printed whole when it ends.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || { echo "TESTS: 0 passed, 1 failed (dependencies could not be installed)"; exit 1; }

steps=build/test-steps
rm -rf "$steps"
mkdir -p "$steps"
for preset in linux-asan win32 win64; do rm -rf "build/$preset/test-results"; done

# step NAME COMMAND...: runs a step, records its exit code and time in $steps/results.
step() {
  local name=$1 started=$SECONDS rc=0
  shift
  "$@" || rc=$?
  printf '%s|%s|%s\n' "$name" "$rc" "$((SECONDS - started))" >>"$steps/results"
  return "$rc"
}
# A note for the summary's times, not a step that can fail.
note_time() { printf '%s|-|%s\n' "$1" "$2" >>"$steps/results"; }

build_preset() {
  local preset=$1
  shift
  echo "== build: $preset"
  cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset" -j2
}
# tests_of PRESET [CTEST ARGUMENTS...]: the preset's tests, if it was configured.
tests_of() {
  local preset=$1
  shift
  [ -f "build/$preset/CTestTestfile.cmake" ] || return 0
  echo "== tests: $preset${*:+ ($*)}"
  ctest --test-dir "build/$preset" --output-on-failure "$@"
}
# wine_tests_of PRESET [CTEST ARGUMENTS...]: tests_of for the tests under Wine. Beside
# other tests and a build, a Wine program now and then misses its window or its moment
# (two tests in one run of the whole set on the build machine); the tests that failed, when no more
# than three, run once more one at a time, and the names of those that then pass go to
# $steps/second-run, which the summary prints. A test that fails again fails the step.
wine_tests_of() {
  local preset=$1 failed_log="build/$1/Testing/Temporary/LastTestsFailed.log" names rc=0
  rm -f "$failed_log"
  tests_of "$@" && return 0
  [ -s "$failed_log" ] && [ "$(wc -l <"$failed_log")" -le 3 ] || return 1
  names=$(cut -d: -f2- "$failed_log" | paste -sd' ')
  echo "== tests: $preset: once more, one at a time: $names"
  ctest --test-dir "build/$preset" --output-on-failure --rerun-failed -j1 || rc=$?
  if [ "$rc" = 0 ]; then echo "$preset: $names" >>"$steps/second-run"; fi
  return "$rc"
}
virtual_screen=()
if command -v xvfb-run >/dev/null 2>&1; then virtual_screen=(xvfb-run -a -s "-screen 0 1280x1024x24"); fi

# Where the i686 tests run: natively where the 32-bit Wine loader starts, else in an
# emulated 64-bit guest whose own kernel runs 32-bit programs (scripts/i686-guest.sh,
# built once into the user's cache). MORVANE_I686_GUEST=always takes the guest even
# where they could run natively, =never skips them where they cannot.
# In the guest the GUI waits and the tests' time limits are stretched by
# MORVANE_SLOW (4 unless set).
i686_slow=${MORVANE_SLOW:-1}
if wine32_reason=$(bash scripts/probe-wine32.sh) && [ "${MORVANE_I686_GUEST:-auto}" != always ]; then
  i686_mode=native
elif [ "${MORVANE_I686_GUEST:-auto}" = never ]; then
  i686_mode=skip
  wine32_reason="$wine32_reason, and the emulated guest is turned off (MORVANE_I686_GUEST=never)"
else
  i686_mode=guest
  wine32_reason=${wine32_reason:-the guest was asked for (MORVANE_I686_GUEST=always)}
  i686_slow=${MORVANE_SLOW:-4}
  export MORVANE_GUEST_SLOW=$i686_slow
fi
# The tests the guest runs: the whole suite does not fit the time the test command may
# take under emulation (about 30 minutes more), so by default the ones that start the
# real setup.exe through its window and its command line and the four Windows-side
# test programs, in both prefixes; the others run wherever 32-bit programs run
# natively. MORVANE_I686_GUEST_TESTS: a ctest regular expression, or "all".
i686_guest_pattern=${MORVANE_I686_GUEST_TESTS:-setup-exe-gui@|setup-exe-cli@|windows_}
i686_guest_tests=()
[ "$i686_guest_pattern" = all ] || i686_guest_tests=(-R "$i686_guest_pattern")
# The guest's system is mostly downloaded and unpacked: it is built beside the builds.
if [ "$i686_mode" = guest ]; then
  mkdir -p build/i686-guest
  guest_image_started=$SECONDS
  rm -f build/i686-guest/image.rc
  { bash scripts/i686-guest.sh image >build/i686-guest/image.log 2>&1; echo $? >build/i686-guest/image.rc; } &
fi

for preset in win32-release win64-release win32 win64; do
  configure=()
  [ "$preset" = win32 ] && configure=(-DMORVANE_SLOW="$i686_slow")
  step "build $preset" build_preset "$preset" "${configure[@]}"
done

# The i686 tests need the 32-bit Wine loader (see i686_mode above). Natively they run
# like the others. In the emulated guest the checks that only read the i686 images
# (label "no-wine") run here and the rest in the guest. Where neither can run, one line
# says so for all of them and their ctest run is left out (each test would only exit
# 77), except the "no-wine" checks.
windows_tests() {
  case "$i686_mode" in
    native) step "tests win32" "${virtual_screen[@]}" bash -c "$(declare -f tests_of wine_tests_of); steps=$steps; wine_tests_of win32 -j3" ;;
    *) step "tests win32 (no-wine)" tests_of win32 -L no-wine ;;
  esac
  step "tests win64" "${virtual_screen[@]}" bash -c "$(declare -f tests_of wine_tests_of); steps=$steps; wine_tests_of win64 -j3 -LE timing"
}
guest_tests() {
  # At the builds' priority: the Windows-side tests beside it mostly wait for windows.
  renice -n 10 -p "$BASHPID" >/dev/null 2>&1 || true
  echo "== tests: win32 in the emulated guest: $wine32_reason"
  while [ ! -s build/i686-guest/image.rc ]; do sleep 2; done
  if [ "$(cat build/i686-guest/image.rc)" != 0 ]; then
    cat build/i686-guest/image.log
    echo "guest: the image could not be built" >"$steps/guest-failed"
    return 0
  fi
  note_time "guest image (beside the builds)" "$((SECONDS - guest_image_started))"
  if ! step "guest prefixes" bash scripts/i686-guest.sh prefixes; then
    echo "guest: the prefixes could not be made" >"$steps/guest-failed"
    return 0
  fi
  step "tests win32 in the guest" bash scripts/i686-guest.sh run xvfb-run -a -s "-screen 0 1280x1024x24" \
    ctest --test-dir "$PWD/build/win32" --output-on-failure -LE no-wine "${i686_guest_tests[@]}"
}
windows_tests >"$steps/windows.log" 2>&1 &
windows_pid=$!
guest_pid=""
if [ "$i686_mode" = guest ]; then
  guest_tests >"$steps/guest.log" 2>&1 &
  guest_pid=$!
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
step "build linux-asan" nice -n 10 bash -c "$(declare -f build_preset); build_preset linux-asan"
step "tests linux-asan" nice -n 10 bash -c "$(declare -f tests_of); tests_of linux-asan -j2"
# The fuzz targets: an optimised clang build of their own (the sanitizer build's -O0 and
# the coverage instrumentation would cut the inputs run to a tenth and slow its tests by
# a quarter), each run 12 s on its corpus; any finding fails the step (scripts/fuzz.sh,
# docs/fuzzing.md).
echo "== fuzz"
step fuzz nice -n 10 env FUZZ_SECONDS="${FUZZ_SECONDS:-12}" bash scripts/fuzz.sh

wait "$windows_pid"
cat "$steps/windows.log"
wine32_skipped=""
if [ "$i686_mode" = guest ]; then
  wait "$guest_pid"
  cat "$steps/guest.log"
  guest_all=$(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
  if [ -f "$steps/guest-failed" ]; then
    wine32_reason="$wine32_reason, and the emulated guest could not be built or booted ($(cat "$steps/guest-failed"))"
    wine32_skipped=$guest_all
  else
    guest_ran=$(ctest --test-dir build/win32 -N -LE no-wine "${i686_guest_tests[@]}" 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
    if [ "${guest_ran:-0}" -lt "${guest_all:-0}" ]; then
      wine32_skipped=$((guest_all - guest_ran))
      wine32_reason="not run in the emulated guest (MORVANE_I686_GUEST_TESTS=all runs them there too): $(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null |
        sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p' | grep -Ev "$i686_guest_pattern" | tr '\n' ' ')"
    fi
  fi
elif [ "$i686_mode" = skip ]; then
  wine32_skipped=$(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
fi
# The rate meter's tests count reports against the clock: they run last, alone.
step "tests win64 (timing)" "${virtual_screen[@]}" bash -c "$(declare -f tests_of wine_tests_of); steps=$steps; wine_tests_of win64 -L timing"
if [ -n "$wine32_skipped" ]; then
  echo "== tests: win32: 32-bit Windows-side tests skipped (${wine32_skipped:-0} in the WOW64 and 32-bit-only prefixes): $wine32_reason"
fi

status=0
timings=()
failed_steps=()
while IFS='|' read -r name rc seconds; do
  timings+=("$name $seconds s")
  if [ "$rc" != - ] && [ "$rc" != 0 ]; then
    failed_steps+=("$name${rc:+ (exit code $rc)}")
    status=1
  fi
done <"$steps/results"

# Sum the GoogleTest cases of every JUnit file the test programs wrote.
passed=0
failed=0
for xml in build/linux-asan/test-results/*.xml build/win32/test-results/*.xml build/win64/test-results/*.xml; do
  [ -f "$xml" ] || continue
  tests=$(grep -o '<testsuites [^>]*' "$xml" | grep -o ' tests="[0-9]*"' | grep -o '[0-9]*' | head -n1)
  fails=$(grep -o '<testsuites [^>]*' "$xml" | grep -o ' failures="[0-9]*"' | grep -o '[0-9]*' | head -n1)
  errs=$(grep -o '<testsuites [^>]*' "$xml" | grep -o ' errors="[0-9]*"' | grep -o '[0-9]*' | head -n1)
  disabled=$(grep -o '<testsuites [^>]*' "$xml" | grep -o ' disabled="[0-9]*"' | grep -o '[0-9]*' | head -n1)
  tests=${tests:-0}; fails=${fails:-0}; errs=${errs:-0}; disabled=${disabled:-0}
  failed=$((failed + fails + errs))
  passed=$((passed + tests - fails - errs - disabled))
done
failed=$((failed + ${#failed_steps[@]}))
# A failed check of a shell test counts even where its script exited 0.
if [ "$failed" -gt 0 ]; then status=1; fi
printf 'Times: %s\n' "$(IFS=','; echo "${timings[*]}" | sed 's/,/, /g')"
if [ -n "$wine32_skipped" ]; then
  echo "Skipped: ${wine32_skipped} 32-bit Windows-side tests: $wine32_reason"
fi
if [ -s "$steps/second-run" ]; then
  printf 'Passed on a second run, one at a time: %s\n' "$(paste -sd';' "$steps/second-run" | sed 's/;/; /g')"
fi
if [ ${#failed_steps[@]} -gt 0 ]; then
  printf 'Failed steps: %s\n' "${failed_steps[*]}"
fi
echo "TESTS: $passed passed, $failed failed, ${wine32_skipped:-0} skipped"
exit $status
