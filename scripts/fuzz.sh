#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build/fuzz, and runs each for a fixed time on a
# scratch copy of its seed corpus (fuzz/corpus/<target>/; the repository's corpus is
# never changed). Prints per target the inputs run, the longest single input and the
# corpus size; fails on any finding: a crash, a broken property, a sanitizer report,
# a leak, an input that runs past the time-out or past the memory limit. The inputs
# that found something are kept in build/fuzz/findings/<target>/.
#
#   FUZZ_SECONDS   run time per target in seconds (default 20)
#   FUZZ_TARGETS   the targets to run, separated by blanks (default: all five)
#   FUZZ_TIMEOUT   seconds one input may take (default 10)
#   FUZZ_JOBS      build jobs (default 2)
#   FUZZ_PARALLEL  fuzzers run at once (default 2)
#   FUZZ_FLAGS     further libFuzzer flags, separated by blanks (for example -max_len=4096)
#   FUZZ_BUILD     a clang build folder configured with MORVANE_FUZZ=ON to take the targets
#                  from; default build/fuzz, configured here
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
timeout=${FUZZ_TIMEOUT:-10}
read -r -a extra_flags <<<"${FUZZ_FLAGS:-}"
read -r -a targets <<<"${FUZZ_TARGETS:-machine_file_fuzz hub_answers_fuzz registry_values_fuzz version_resource_fuzz command_line_fuzz journal_fuzz}"
build=${FUZZ_BUILD:-build/fuzz}

for tool in clang clang++; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "fuzz: $tool is missing (bash scripts/install-deps.sh installs it)"
    exit 1
  fi
done

echo "== fuzz: build ($build)"
configure=(cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang
           -DCMAKE_CXX_COMPILER=clang++ -DMORVANE_FUZZ=ON -DMORVANE_BUILD_TESTS=OFF)
[ -n "${FUZZ_BUILD:-}" ] && [ -f "$build/CMakeCache.txt" ] && configure=(true)
if ! { "${configure[@]}" >/dev/null && cmake --build "$build" -j"${FUZZ_JOBS:-2}" --target "${targets[@]}"; }; then
  echo "fuzz: the targets could not be built"
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# fuzz_target TARGET: runs one target on a scratch copy of its seeds; its summary line
# in $scratch/TARGET.line, and exit code 1 on a finding.
fuzz_target() {
  local target=$1 seeds="fuzz/corpus/$1" corpus="$scratch/$1" artifacts="$scratch/$1-findings"
  local log="$scratch/$1.log" rc execs slowest longest files bytes findings seed_count line found=0
  mkdir -p "$corpus" "$artifacts"
  [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null
  seed_count=$(find "$corpus" -type f | wc -l)
  echo "== fuzz: $target (${seconds} s, $seed_count seeds)"
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${extra_flags[@]}" "$corpus" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  slowest=$(sed -n 's/^stat::slowest_unit_time_sec: *//p' "$log" | tail -n1)
  longest=$(sed -n 's/^longest input: *//p' "$log" | tail -n1)
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(find "$corpus" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  findings=$(find "$artifacts" -type f | wc -l)
  line=$(printf '%-22s %9s inputs run, longest input %s (libFuzzer: slowest %s s), corpus %s files (%s bytes, %s seeds)' \
    "$target" "${execs:-?}" "${longest:-?}" "${slowest:-?}" "$files" "$bytes" "$seed_count")
  if [ "$rc" -ne 0 ] || [ "$findings" -gt 0 ]; then
    found=1
    mkdir -p "$build/findings/$target"
    cp "$artifacts"/* "$build/findings/$target/" 2>/dev/null
    echo "fuzz: FINDING in $target (exit code $rc):"
    grep -a -E 'property violated|ERROR: |SUMMARY: |runtime error|#[0-9]+ .* in (morvane::|sim::|LLVMFuzzerTestOneInput)' "$log" | head -n 20
    echo "fuzz: the input is kept in $build/findings/$target/; run it again with $build/fuzz/$target <file>"
    line="$line: FINDING"
  fi
  echo "$line"
  echo "$line" >"$scratch/$target.line"
  return "$found"
}

# Each fuzzer is one process on one processor: FUZZ_PARALLEL of them run at once, and
# their reports are printed in the targets' order.
parallel=${FUZZ_PARALLEL:-2}
pids=()
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
  fuzz_target "$target" >"$scratch/$target.out" 2>&1 &
  pids+=($!)
done
status=0
summary=()
for i in "${!targets[@]}"; do
  wait "${pids[i]}" || status=1
  cat "$scratch/${targets[i]}.out"
  summary+=("$(cat "$scratch/${targets[i]}.line" 2>/dev/null || echo "${targets[i]}: no report")")
done

echo "== fuzz: summary"
printf '%s\n' "${summary[@]}"
exit $status
