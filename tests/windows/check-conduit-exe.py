#!/usr/bin/env python3
"""conduit.exe's command line under Wine: help and usage errors, exit statuses, and a command
that needs the driver failing cleanly where there is none.

Usage: check-conduit-exe.py EXE   (WINE names the Wine program, wine64 by default)"""
import os
import subprocess
import sys

# (expected exit status, stream, text, arguments)
CASES = [
    (0, "stdout", "Usage: conduit COMMAND", ["--help"]),
    (0, "stdout", "record FILE.wav", ["-h"]),
    (2, "stderr", "unknown command 'bogus'", ["bogus"]),
    (2, "stderr", "Usage: conduit COMMAND", ["bogus"]),
    (2, "stderr", "record needs exactly one FILE.wav", ["record"]),
    (2, "stderr", "Usage: conduit COMMAND", []),
    (1, "stderr", "no enabled interface of the driver's private interface class", ["status"]),
    (1, "stderr", "cannot open", ["play", "no-such-file.wav"]),
]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check-conduit-exe.py EXE")
    wine = os.environ.get("WINE", "wine64")
    environment = dict(os.environ, WINEDEBUG="-all")
    failures = 0
    for expected, stream, text, arguments in CASES:
        run = subprocess.run([wine, sys.argv[1], *arguments], capture_output=True, text=True,
                             stdin=subprocess.DEVNULL, env=environment, errors="replace")
        shown = " ".join(["conduit.exe", *arguments])
        output = run.stdout if stream == "stdout" else run.stderr
        if run.returncode != expected:
            print(f"FAIL {shown}: exit status {run.returncode}, expected {expected}")
        elif text not in output:
            print(f"FAIL {shown}: '{text}' not on {stream}; stdout:\n{run.stdout}"
                  f"stderr:\n{run.stderr}")
        else:
            print(f"ok   {shown}: exit {run.returncode}, '{text}' on {stream}")
            continue
        failures += 1
    if failures:
        print(f"conduit.exe: {failures} check(s) FAILED")
        sys.exit(1)
    print("conduit.exe: all checks passed")


if __name__ == "__main__":
    main()
