#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every libFuzzer target (or those named) for as long as asked, two at a time, keeping the
# corpora they grow in build-fuzz/fuzz-work/ so that the next run starts where this one ended.
# Fails on any finding, as the smoke run in scripts/test.sh does.
#
#   bench/fuzz.sh SECONDS_PER_TARGET [TARGET...]      e.g. bench/fuzz.sh 300 asx xspf
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:?usage: bench/fuzz.sh SECONDS_PER_TARGET [TARGET...]}"
shift
ORVANE_FUZZ_KEEP=1 exec "$root/tests/fuzz/smoke.sh" "${ORVANE_FUZZ_BUILD_DIR:-$root/build-fuzz}" \
    "$seconds" "$@"
