#!/usr/bin/env bash
# The test command: installs what is missing, configures and builds the presets
# linux, linux-asan, win32-release, win64-release (the shipped files), win32 and win64,
# runs the native tests, the native tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the x86_64 Windows-side tests under Wine, and the i686
# ones under 32-bit Wine in a WOW64 prefix and in a 32-bit-only one (on a virtual
# screen). Where 32-bit Wine cannot run, one line says why and those tests are counted
# as skipped, without a test run of their own. Ends with one line: how many passed,
# failed and were skipped.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || { echo "TESTS: 0 passed, 1 failed (dependencies could not be installed)"; exit 1; }

status=0
failed_steps=()
timings=()

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
guest_image_pid=""
if [ "$i686_mode" = guest ]; then
  mkdir -p build/i686-guest
  guest_image_started=$SECONDS
  bash scripts/i686-guest.sh image >build/i686-guest/image.log 2>&1 &
  guest_image_pid=$!
fi

for preset in linux linux-asan win32-release win64-release win32 win64; do
  echo "== build: $preset"
  started=$SECONDS
  rm -rf "build/$preset/test-results"
  configure=()
  [ "$preset" = win32 ] && configure=(-DMORVANE_SLOW="$i686_slow")
  if ! { cmake --preset "$preset" "${configure[@]}" >/dev/null && cmake --build --preset "$preset" -j2; }; then
    failed_steps+=("build $preset")
    status=1
  fi
  timings+=("build $preset $((SECONDS - started)) s")
done

# The fuzz targets: built with clang, each run 12 s on its corpus (the whole test
# command stays within about 20 minutes on two cores);
# any finding fails the step (scripts/fuzz.sh, docs/fuzzing.md).
echo "== fuzz"
started=$SECONDS
if ! FUZZ_SECONDS="${FUZZ_SECONDS:-12}" bash scripts/fuzz.sh; then
  failed_steps+=("fuzz")
  status=1
fi
timings+=("fuzz $((SECONDS - started)) s")

# ctest_only: more arguments for ctest (a label to select), empty for every test.
ctest_only=()
run_ctest() {
  local preset=$1
  shift
  [ -f "build/$preset/CTestTestfile.cmake" ] || return 0
  echo "== tests: $preset${ctest_only[*]:+ (${ctest_only[*]})}"
  local started=$SECONDS
  if ! "$@" ctest --test-dir "build/$preset" --output-on-failure "${ctest_only[@]}"; then
    failed_steps+=("tests $preset")
    status=1
  fi
  timings+=("tests $preset $((SECONDS - started)) s")
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
run_ctest linux
run_ctest linux-asan
virtual_screen=()
if command -v xvfb-run >/dev/null 2>&1; then virtual_screen=(xvfb-run -a -s "-screen 0 1280x1024x24"); fi
# The i686 tests need the 32-bit Wine loader (see i686_mode above). Natively they run
# like the others. In the emulated guest the checks that only read the i686 images
# (label "no-wine") run here and the rest in the guest, whose run is printed as it
# goes. Where neither can run, one line says so for all of them and their ctest run is
# left out (each test would only exit 77), except the "no-wine" checks.
# They run before the x86_64 Windows-side tests, so that the last test run printed is
# one whose tests executed.
wine32_skipped=""
case "$i686_mode" in
  native)
    run_ctest win32 "${virtual_screen[@]}"
    ;;
  guest)
    echo "== tests: win32 in the emulated guest: $wine32_reason"
    ctest_only=(-L no-wine)
    run_ctest win32
    ctest_only=()
    guest_ready=1
    if ! wait "$guest_image_pid"; then
      guest_ready=""
      cat build/i686-guest/image.log
    fi
    timings+=("guest image $((SECONDS - guest_image_started)) s (beside the builds)")
    if [ -n "$guest_ready" ]; then
      started=$SECONDS
      bash scripts/i686-guest.sh prefixes || guest_ready=""
      timings+=("guest prefixes $((SECONDS - started)) s")
    fi
    if [ -n "$guest_ready" ]; then
      started=$SECONDS
      guest_rc=0
      bash scripts/i686-guest.sh run xvfb-run -a -s "-screen 0 1280x1024x24" \
        ctest --test-dir "$PWD/build/win32" --output-on-failure -LE no-wine "${i686_guest_tests[@]}" || guest_rc=$?
      if [ "$guest_rc" -ne 0 ]; then
        failed_steps+=("tests win32 (emulated guest, exit code $guest_rc)")
        status=1
      fi
      timings+=("tests win32 in the guest $((SECONDS - started)) s")
      guest_all=$(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
      guest_ran=$(ctest --test-dir build/win32 -N -LE no-wine "${i686_guest_tests[@]}" 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
      if [ "${guest_ran:-0}" -lt "${guest_all:-0}" ]; then
        wine32_skipped=$((guest_all - guest_ran))
        wine32_reason="not run in the emulated guest (MORVANE_I686_GUEST_TESTS=all runs them there too): $(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null |
          sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p' | grep -Ev "$i686_guest_pattern" | tr '\n' ' ')"
      fi
    else
      wine32_reason="$wine32_reason, and the emulated guest could not be built or booted"
      wine32_skipped=$(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
    fi
    ;;
  *)
    wine32_skipped=$(ctest --test-dir build/win32 -N -LE no-wine 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
    ctest_only=(-L no-wine)
    run_ctest win32
    ctest_only=()
    ;;
esac
if [ -n "$wine32_skipped" ]; then
  echo "== tests: win32: 32-bit Windows-side tests skipped (${wine32_skipped:-0} in the WOW64 and 32-bit-only prefixes): $wine32_reason"
fi
run_ctest win64 "${virtual_screen[@]}"

# Sum the GoogleTest cases of every JUnit file the test programs wrote.
passed=0
failed=0
for xml in build/*/test-results/*.xml; do
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
if [ ${#failed_steps[@]} -gt 0 ]; then
  printf 'Failed steps: %s\n' "${failed_steps[*]}"
fi
echo "TESTS: $passed passed, $failed failed, ${wine32_skipped:-0} skipped"
exit $status
