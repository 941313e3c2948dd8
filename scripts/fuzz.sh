#!/bin/bash
# fuzz.sh SECONDS [TARGET...]
# FUZZ_JOBS=N limits the build to N jobs (default: every core).
# FUZZ_TIMEOUT=S is how long one input may take, in seconds (default 5).
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on, and every library they link instrumented for
# coverage) into ./build-fuzz and runs each target for SECONDS on its corpus,
# with LeakSanitizer on as in the test run (tests/lsan.supp applies): an
# input that leaves memory behind is a finding like a crash. New inputs are written to build-fuzz/fuzz-new/<target>/,
# crashes to build-fuzz/fuzz-crashes/<target>/, each target's output to
# build-fuzz/fuzz-logs/<target>.log; a crash that was fixed goes into
# fuzz/corpus/<target>/ with its fix. Ends with status 1 if any target found
# something, after naming each such target and input. An input that takes
# longer than FUZZ_TIMEOUT is a finding like a crash (libFuzzer's own bound
# is twenty minutes, past which it only notes a slow input).
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"; shift || true
timeout="${FUZZ_TIMEOUT:-5}"
build="$here/build-fuzz"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQUILLMAR_SANITIZE=ON -DQUILLMAR_FUZZ=ON -DQUILLMAR_BENCH=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(ls "$here/fuzz/corpus"))
fi
cmake --build "$build" -j "${FUZZ_JOBS:-$(nproc)}" --target "${targets[@]}"
# A finding (a crash, a leak, an input that ran out of time or memory) ends
# that target's run with a failing status; the other targets still run, and
# the script ends with status 1, naming each target and the input it wrote.
findings=()
for t in "${targets[@]}"; do
  exe="$(find "$build/fuzz" -type f -name "$t" -perm -u+x | head -1)"
  mkdir -p "$build/fuzz-new/$t" "$build/fuzz-crashes/$t" "$build/fuzz-logs"
  log="$build/fuzz-logs/$t.log"
  echo "== $t ($seconds s)"
  status=0
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0" "$exe" -max_total_time="$seconds" -timeout="$timeout" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-crashes/$t/" "$build/fuzz-new/$t" "$here/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|LeakSanitizer|ALARM' "$log" || true
  if [ "$status" -ne 0 ]; then
    inputs="$(sed -n 's/.*Test unit written to //p' "$log" | grep -v '/slow-unit-' | paste -sd ' ' -)"
    findings+=("$t: status $status, input: ${inputs:-none written (a leak at exit?)}; log: $log")
  fi
done
if [ ${#findings[@]} -ne 0 ]; then
  echo "== findings"
  printf '%s\n' "${findings[@]}"
  exit 1
fi
