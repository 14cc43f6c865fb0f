# SPDX-License-Identifier: GPL-3.0-or-later
# The common frame of the end-to-end scripts. Source it first; it gives:
#
#   $work                  a fresh folder, removed at exit
#   pids+=(PID)            processes to stop at exit, last started first
#   e2e_cleanup            a function the script may define; runs at exit after the processes
#   fail MESSAGE           prints "FAIL: MESSAGE" and the program's last stderr lines, exits 1
#   wait_for S WHAT CMD... polls CMD every 50 ms until it succeeds, or fails after S seconds
#   now_ms                 milliseconds since the epoch
#
# E2E_KEEP=1 keeps $work (and says where) instead of removing it.
# A signal ends the script through exit, so the EXIT trap stops everything it started. Reports
# go to file descriptor 9, the script's own output, even from checks whose output is discarded.
work="$(mktemp -d)"
pids=()
exec 9>&1

e2e_cleanup() { :; }
e2e_exit() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null; done
    for i in "${pids[@]}"; do wait "$i" 2>/dev/null; done
    e2e_cleanup
    if [ -n "${E2E_KEEP:-}" ]; then echo "kept $work" >&9; else rm -rf "$work"; fi
}
trap e2e_exit EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "FAIL: $*" >&9
    [ -s "$work/app.err" ] && sed 's/^/  program: /' "$work/app.err" | tail -n 20 >&9
    exit 1
}
now_ms() { date +%s%3N; }
wait_for() {
    local deadline=$(($(now_ms) + $1 * 1000)) what="$2"
    shift 2
    until "$@" >/dev/null 2>&1; do
        [ "$(now_ms)" -lt "$deadline" ] || fail "timed out waiting for: $what"
        sleep 0.05
    done
}
