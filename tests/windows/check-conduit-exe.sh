#!/bin/sh
# conduit.exe's command line under Wine: help and usage errors, exit statuses, and a command
# that needs the driver failing cleanly where there is none. Usage: check-conduit-exe.sh EXE
set -u
exe=$1
wine=${WINE:-wine64}
export WINEDEBUG=-all
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failures=0

# run EXPECTED-STATUS STREAM TEXT ARGS...: the exit status, and TEXT on stdout or stderr.
run() {
    expected=$1 stream=$2 text=$3
    shift 3
    "$wine" "$exe" "$@" >"$out" 2>"$err" </dev/null
    status=$?
    file=$out
    [ "$stream" = stderr ] && file=$err
    if [ "$status" -ne "$expected" ]; then
        echo "FAIL conduit.exe $*: exit status $status, expected $expected"
        failures=$((failures + 1))
    elif ! grep -qF -- "$text" "$file"; then
        echo "FAIL conduit.exe $*: '$text' not on $stream; stdout:"; cat "$out"
        echo "stderr:"; cat "$err"
        failures=$((failures + 1))
    else
        echo "ok   conduit.exe $*: exit $status, '$text' on $stream"
    fi
}

run 0 stdout "Usage: conduit COMMAND" --help
run 0 stdout "record FILE.wav" -h
run 2 stderr "unknown command 'bogus'" bogus
run 2 stderr "Usage: conduit COMMAND" bogus
run 2 stderr "record needs exactly one FILE.wav" record
run 2 stderr "Usage: conduit COMMAND"
run 1 stderr "no enabled interface of the driver's private interface class" status
run 1 stderr "cannot open" play no-such-file.wav

[ "$failures" -eq 0 ] && echo "conduit.exe: all checks passed" && exit 0
echo "conduit.exe: $failures check(s) FAILED"
exit 1
