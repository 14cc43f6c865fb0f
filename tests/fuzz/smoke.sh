#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang and runs each for a while, two at a time, starting
# from the seed corpora in tests/fuzz/corpus plus a few 1 MiB pathological inputs made here.
# Fails on any finding: a crash, a sanitizer report, a leak, a broken check, an input that takes
# over 2 s, or more than 512 MiB of memory.
#
#   tests/fuzz/smoke.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]
#
# New inputs and findings go to BUILD_DIR/fuzz-work/<target>/; a finding is replayed with
# BUILD_DIR/tests/fuzz/fuzz_<target> FILE. Set ORVANE_FUZZ_KEEP=1 to keep the corpora a run grew
# and start the next run from them (bench/fuzz.sh does).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:?usage: smoke.sh BUILD_DIR SECONDS [TARGET...]}"
seconds="${2:?usage: smoke.sh BUILD_DIR SECONDS [TARGET...]}"
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(sourcelist detect pls m3u hls asx xspf gdi tray)
jobs="${ORVANE_FUZZ_JOBS:-$(nproc)}"

# Per input: 2 s and 512 MiB. A parser is linear, so even a 1 MiB body is far inside both.
readonly kInputTimeout=2
readonly kRssLimitMb=512
readonly kStressBytes=$((1024 * 1024 - 1))  # one byte below libFuzzer's largest input

start=$(date +%s)
# The fuzz build is small and separate from the g++ builds: only the libraries the targets use.
# -O1 with line tables is what fuzzing wants, and builds far faster than -O2 -g.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DORVANE_FUZZ=ON \
    -DORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" >/dev/null
cmake --build "$build" --target orvane_fuzz -j"$jobs"
echo "fuzz build: $(( $(date +%s) - start )) s"

work="$build/fuzz-work"
mkdir -p "$work"

# Bodies that cost a quadratic or wasteful parser dearly: long runs of what starts an entity, a
# tag or an attribute (1 MiB, the largest playlist anyone fetches), and of line ends or of one
# line (256 KiB: a line per byte is the slowest honest case, and sanitizers make each line cost
# ten times what it does in a release build). Each is parsed once, before fuzzing, under the
# same limits.
stress() {  # stress DIR PREFIX
    local dir="$1" prefix="$2" name pattern size
    mkdir -p "$dir"
    for name in amp lt tag cr nonl; do
        size=$kStressBytes
        case "$name" in
            amp) pattern='&' ;;
            lt) pattern='<' ;;
            tag) pattern='<a b>' ;;
            cr) pattern=$'\r' size=$((kStressBytes / 4)) ;;
            nonl) pattern='x' size=$((kStressBytes / 4)) ;;
        esac
        # yes stops on the closed pipe; that is how it is meant to end.
        { printf '%s' "$prefix"
          yes "$pattern" | tr -d '\n' | head -c "$size" || true
        } | head -c "$size" >"$dir/$name" || true
    done
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=offscreen

run_target() {
    local t="$1" dir="$work/$1" status=0
    if [ -z "${ORVANE_FUZZ_KEEP:-}" ]; then
        rm -rf "$dir"
    fi
    mkdir -p "$dir/corpus" "$dir/findings"
    case "$t" in
        sourcelist) stress "$dir/stress" 'Station,http://' ;;
        pls) stress "$dir/stress" $'\x00[playlist]\nFile1=' ;;
        m3u | hls) stress "$dir/stress" $'\x00#EXTM3U\n#EXTINF:-1,' ;;
        asx) stress "$dir/stress" $'\x00<asx version="3"><entry><title>' ;;
        xspf) stress "$dir/stress" $'\x00<playlist><trackList><track><title>' ;;
        *) mkdir -p "$dir/stress" ;;
    esac
    local limits=(-timeout="$kInputTimeout" -rss_limit_mb="$kRssLimitMb"
                  -artifact_prefix="$dir/findings/")
    if compgen -G "$dir/stress/*" >/dev/null; then
        "$build/tests/fuzz/fuzz_$t" "${limits[@]}" "$dir"/stress/* >"$dir/stress.log" 2>&1 ||
            status=$?
    fi
    # The first corpus directory receives what the run finds; the seeds stay as committed.
    if [ "$status" = 0 ]; then
        "$build/tests/fuzz/fuzz_$t" "${limits[@]}" -max_total_time="$seconds" \
            -print_final_stats=1 "$dir/corpus" "$root/tests/fuzz/corpus/$t" >"$dir/log" 2>&1 ||
            status=$?
    else
        mv "$dir/stress.log" "$dir/log"
    fi
    echo "$status" >"$dir/status"
}

fuzz_start=$(date +%s)
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    run_target "$t" &
done
wait

failed=0
for t in "${targets[@]}"; do
    dir="$work/$t"
    status="$(cat "$dir/status" 2>/dev/null || echo missing)"
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" 2>/dev/null | tail -1)"
    if [ "$status" = 0 ]; then
        echo "fuzz_$t: ok (${runs:-?} runs)"
        continue
    fi
    failed=1
    echo "fuzz_$t: FAILED (exit $status); log $dir/log"
    grep -E '^(Running:|==[0-9]+==ERROR|SUMMARY|fuzz check failed|ALARM|.*out-of-memory|Test unit written)' \
        "$dir/log" | head -8 | sed 's/^/    /'
    for f in "$dir"/findings/*; do
        [ -e "$f" ] && echo "    replay: $build/tests/fuzz/fuzz_$t $f"
    done
done
echo "fuzz run: $(( $(date +%s) - fuzz_start )) s for ${#targets[@]} targets, ${seconds} s each, $jobs at a time"
exit "$failed"
