#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, then builds and runs the whole suite twice: in a normal build and in
# a build with AddressSanitizer and UndefinedBehaviorSanitizer. Fails on any failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"
"$root/scripts/install-deps.sh"

run_suite() {
    local dir="$1"
    shift
    cmake -S "$root" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j"$jobs"
    # Most tests wait on real time (streams, servers, X), so two at a time halves the run.
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j"$jobs"
}

start=$(date +%s)
echo "=== Normal build"
run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer build"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON

echo "=== Fuzz smoke (clang, libFuzzer): 6 s per target"
"$root/tests/fuzz/smoke.sh" "$root/build-fuzz" 6

echo "=== All tests passed in both builds ($(( $(date +%s) - start )) s)"
