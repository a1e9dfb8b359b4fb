#!/usr/bin/env bash
# The image checks must refuse what is not a driver: run them on the Wine test program (a
# console program on the C runtime), and on a copy of it with one byte changed after linking,
# and require a refusal for each reason each has.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
program=${1:?usage: check-image-rejects.sh PROGRAM.exe}
[ -f "$program" ] || { echo "check-image-rejects: no such program: $program" >&2; exit 2; }

tampered=$(mktemp --suffix=.exe)
trap 'rm -f "$tampered"' EXIT
cp "$program" "$tampered"
size=$(stat -c %s "$tampered")
printf '\x5a' | dd of="$tampered" bs=1 seek=$((size / 2)) conv=notrunc status=none

status=0
expect_refusal() { # IMAGE REASON...
    local image=$1 output
    shift
    if output=$("$root/scripts/check-windows-image.sh" "$image" 2>&1); then
        echo "check-image-rejects: the image checks accepted $image" >&2
        status=1
        return
    fi
    for reason in "$@"; do
        if ! grep -q -F "$reason" <<<"$output"; then
            echo "check-image-rejects: no refusal for \"$reason\" in:" >&2
            echo "$output" >&2
            status=1
        fi
    done
}
expect_refusal "$program" 'subsystem is 3, not native' 'has thread-local storage' \
    'C/C++ runtime or user-mode library msvcrt.dll' 'C/C++ runtime or user-mode library KERNEL32.dll'
expect_refusal "$tampered" 'checksum is'
[ $status -eq 0 ] && echo "check-image-rejects: the image checks refuse $(basename "$program") and a tampered copy"
exit $status
