#!/bin/bash
# Sets up a fresh Debian 12 machine (as root), builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test; then
# runs some of them again in two smaller builds (below).
# The tests run in a network namespace that has only loopback, so that no
# packet (UPnP multicast, NAT-PMP, a mistyped address) can leave the machine.
set -e
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build-test" -DCMAKE_BUILD_TYPE=Debug -DQUILLMAR_SANITIZE=ON -DQUILLMAR_BENCH=ON
# Leaks are reported, but for those named in tests/lsan.supp
# (docs/leak-checking.md): a test that leaks fails.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$here/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$here/build-test"
unshare -n sh -c 'ip link set lo up && exec ctest --output-on-failure -j "$(nproc)"'

# A second, smaller build with the store's pools and mapped link runs in use,
# which the sanitizer builds replace by the ordinary allocator (so that they
# see misuse and leaks of item bodies): the tests of the store, the data file
# and the shares, the pools' largest user; and the Browse page's, whose
# bound on what a shown list holds is read in the C library's heap, which
# the sanitizer's replaces (there the test is skipped). Debug, so that the
# assertions stay on, with the standard library's bounds checks.
pooled=(test_store test_store_collection test_streams test_store_services test_data_file
        test_diagnostics test_log_flood test_block_pool test_shares_tokens test_shares_scanner
        test_shares_manager test_shares_wiring test_shares_answers test_shares_dnet
        test_shares_fake_searchers test_share_browser)
cd "$here"
cmake -S "$here" -B "$here/build-pooled" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLMAR_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS
cmake --build "$here/build-pooled" -j "$(nproc)" --target "${pooled[@]}"
cd "$here/build-pooled"
unshare -n sh -c 'ip link set lo up && exec ctest --output-on-failure --no-tests=error -j "$(nproc)" -R "$1"' \
    sh "^($(IFS='|'; echo "${pooled[*]}"))\$"

# A third, smaller build with ThreadSanitizer for the program's own threads:
# the transfer threads (their shared speed budget and hand-overs) and the
# data file's reader and writer threads (a load in slices, the background
# save). The rest of the suite has no threads of this kind and stays with the
# builds above.
threaded=(test_transfer_threads test_data_file)
cd "$here"
cmake -S "$here" -B "$here/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLMAR_TSAN=ON -DQUILLMAR_BENCH=OFF
cmake --build "$here/build-tsan" -j "$(nproc)" --target "${threaded[@]}"
cd "$here/build-tsan"
TSAN_OPTIONS="suppressions=$here/tests/tsan.supp halt_on_error=1" \
    unshare -n sh -c 'ip link set lo up && exec ctest --output-on-failure --no-tests=error -j "$(nproc)" -R "$1"' \
    sh "^($(IFS='|'; echo "${threaded[*]}"))\$"
