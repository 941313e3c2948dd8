#!/bin/bash
# fuzz.sh SECONDS [TARGET...]
# FUZZ_JOBS=N limits the build to N jobs (default: every core).
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on, and every library they link instrumented for
# coverage) into ./build-fuzz and runs each target for SECONDS on its corpus,
# with LeakSanitizer on as in the test run (tests/lsan.supp applies): an
# input that leaves memory behind is a finding like a crash. New inputs are written to build-fuzz/fuzz-new/<target>/,
# crashes to build-fuzz/fuzz-crashes/<target>/; a crash that was fixed goes into
# fuzz/corpus/<target>/ with its fix.
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"; shift || true
build="$here/build-fuzz"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQUILLMAR_SANITIZE=ON -DQUILLMAR_FUZZ=ON -DQUILLMAR_BENCH=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(ls "$here/fuzz/corpus"))
fi
cmake --build "$build" -j "${FUZZ_JOBS:-$(nproc)}" --target "${targets[@]}"
for t in "${targets[@]}"; do
  exe="$(find "$build/fuzz" -type f -name "$t" -perm -u+x | head -1)"
  mkdir -p "$build/fuzz-new/$t" "$build/fuzz-crashes/$t"
  echo "== $t ($seconds s)"
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0" "$exe" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-crashes/$t/" "$build/fuzz-new/$t" "$here/fuzz/corpus/$t" 2>&1 |
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|LeakSanitizer' || true
done
