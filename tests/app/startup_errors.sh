#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts the real program where it cannot start and checks the error it reports, promptly.
set -u
exe="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail=0

expect_error() {
    local what="$1" message="$2"
    local status=0
    (cd "$dir" && timeout 30 "$exe" >"$dir/out" 2>"$dir/err") || status=$?
    if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then
        echo "FAIL: $what: exit status $status (expected a failure status, promptly)"
        fail=1
    elif ! grep -qxF "$message" "$dir/err"; then
        echo "FAIL: $what: standard error was:"
        cat "$dir/err"
        fail=1
    else
        echo "PASS: $what"
    fi
}

expect_error "no source file" "Run-time error '53': File not found"
printf '12345678\r\nshort\r\n\r\n' >"$dir/orvaneplayer.ini"
expect_error "only short lines" "Run-time error '380': Invalid property value"
# A FIFO with no writer must not hang start-up: it is refused like any file that is not one.
rm "$dir/orvaneplayer.ini" && mkfifo "$dir/orvaneplayer.ini"
expect_error "a FIFO" \
    "Run-time error '75': Path/File access error (orvaneplayer.ini is not a regular file)"
exit $fail
