#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Detects and parses hostile and huge playlist bodies, one per process, and prints the time and
# the peak memory each adds against the target: any body up to 1 MiB within 50 ms and 16 MiB.
# The verdict goes by CPU time, which a busy machine does not inflate; wall time is shown too.
# The 100k-entry bodies are larger than the download cap; they show how the cost grows.
#
#   bench/parse-cost.sh [path/to/parse-cost]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${1:-$root/build/bench/parse-cost}"
[ -x "$bin" ] || { echo "no benchmark at $bin (build first)" >&2; exit 2; }
limit_s="${PARSE_COST_LIMIT_S:-300}"  # an old parser may take minutes on one case
max_bytes=$((1024 * 1024))

printf '%-16s %9s %9s %9s %9s %8s  %s\n' case bytes wall-ms cpu-ms peak-MiB entries verdict
failed=0
for name in $("$bin" --list); do
    if ! row="$(timeout "$limit_s" "$bin" "$name")"; then
        printf '%-16s %9s %9s %9s %9s %8s  %s\n' "$name" - ">${limit_s}000" - - - "FAIL (killed)"
        failed=1
        continue
    fi
    read -r _ bytes ms cpu peak entries _ <<<"$row"
    verdict="ok"
    if [ "$bytes" -le "$max_bytes" ]; then
        if awk -v ms="$cpu" -v peak="$peak" 'BEGIN { exit !(ms > 50 || peak > 16) }'; then
            verdict="FAIL (target 50 ms, 16 MiB)"
            failed=1
        fi
    else
        verdict="(over the 1 MiB cap)"
    fi
    printf '%-16s %9s %9s %9s %9s %8s  %s\n' "$name" "$bytes" "$ms" "$cpu" "$peak" "$entries" \
        "$verdict"
done
exit "$failed"
