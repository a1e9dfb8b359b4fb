#!/usr/bin/env python3
"""The benchmark's gate: what one tick and one handshake cost, counted rather than timed.

Runs conduit-bench --count N natively (heap and pool allocations, context switches and futex
calls per operation) and under callgrind (instructions per operation, from one profile dump per
phase), compares each figure with its budget and exits with 1 when one is over. Counts that
other work on the machine can only raise (context switches, futex calls) are taken as the
lowest of up to three native runs.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Per operation, in steady state.
INSTRUCTION_BUDGET = {"tick": 3000, "handshake": 4000}
SWITCH_ALLOWANCE = 0.5  # over the bare hand-overs
FUTEX_ALLOWANCE = 1.0
NATIVE_ATTEMPTS = 3

TRIGGER = "desc: Trigger: Client Request: "
COUNT_LINE = re.compile(r"^count (\S+)\s+ops=(\d+) heap=(\S+) pool=(\S+) switches=(\S+) futex=(\S+)")


def run_counting(command):
    result = subprocess.run(command, capture_output=True, text=True)
    figures = {}
    for line in result.stdout.splitlines():
        match = COUNT_LINE.match(line)
        if match:
            phase = match.group(1)
            futex = match.group(6)
            figures[phase] = {
                "ops": int(match.group(2)),
                "heap": float(match.group(3)),
                "pool": float(match.group(4)),
                "switches": float(match.group(5)),
                "futex": None if futex == "unknown" else float(futex),
            }
    if result.returncode != 0 or len(figures) != 4:
        sys.stderr.write(result.stdout + result.stderr)
        sys.exit("bench-gate: the counting run failed: " + " ".join(command))
    return figures


def lowest(runs):
    merged = {}
    for phase in runs[0]:
        merged[phase] = {}
        for key, value in runs[0][phase].items():
            values = [run[phase][key] for run in runs]
            merged[phase][key] = None if None in values else min(values)
    return merged


def read_callgrind_dumps(directory):
    """Phase name -> (total instructions, {function: self instructions})."""
    dumps = {}
    for path in glob.glob(os.path.join(directory, "callgrind.out.*")):
        phase, total, functions = None, None, {}
        names = {}
        function = None
        after_call = False
        with open(path, errors="replace") as profile:
            for line in profile:
                if line.startswith(TRIGGER):
                    phase = line[len(TRIGGER):].strip()
                elif line.startswith("summary:"):
                    total = int(line.split()[1])
                elif line.startswith("fn="):
                    function = expand_name(line[3:].strip(), names)
                elif line.startswith(("cfn=", "cfi=", "cfl=", "cob=")):
                    if line.startswith("cfn="):
                        expand_name(line[4:].strip(), names)
                elif line.startswith("calls="):
                    after_call = True
                elif line[:1].isdigit() or line[:1] in "+-*":
                    if after_call:
                        after_call = False  # the call's inclusive cost, not the caller's own
                        continue
                    parts = line.split()
                    if function is not None and len(parts) >= 2:
                        functions[function] = functions.get(function, 0) + int(parts[1])
        if phase is not None and total is not None:
            dumps[phase] = (total, functions)
    return dumps


def expand_name(text, names):
    """Callgrind's name compression: "(7) name" defines 7, "(7)" refers to it."""
    match = re.match(r"\((\d+)\)\s*(.*)", text)
    if not match:
        return text
    if match.group(2):
        names[match.group(1)] = match.group(2)
    return names.get(match.group(1), text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench", help="the conduit-bench program")
    parser.add_argument("--count", type=int, default=2000, help="operations per phase")
    parser.add_argument("--top", type=int, default=12, help="functions listed per subject phase")
    parser.add_argument("--image", help="the driver image of the subject (default: the host build's)")
    arguments = parser.parse_args()
    counting = [arguments.bench, "--count", str(arguments.count)]
    if arguments.image:
        counting += ["--image", arguments.image]

    native_runs = []
    for attempt in range(NATIVE_ATTEMPTS):
        figures = run_counting(counting)
        native_runs.append(figures)
        if not over_budget(figures, None):
            break
    native = lowest(native_runs)

    if shutil.which("valgrind") is None:
        sys.exit("bench-gate: valgrind is missing (scripts/install-deps.sh installs it)")
    with tempfile.TemporaryDirectory(prefix="bench-gate-") as directory:
        valgrind = ["valgrind", "--tool=callgrind", "--quiet",
                    "--callgrind-out-file=" + os.path.join(directory, "callgrind.out")]
        run_counting(valgrind + counting)  # the native figures of this run mean nothing
        dumps = read_callgrind_dumps(directory)
    instructions = {phase: total / native[phase]["ops"] for phase, (total, _) in dumps.items()}

    failures = over_budget(native, instructions)
    print_table(native, instructions, len(native_runs))
    for operation in ("tick", "handshake"):
        phase = operation + ".subject"
        if phase in dumps:
            print_top(phase, dumps[phase], native[phase]["ops"], arguments.top)
    if failures:
        print("\nbench-gate: FAILED")
        for failure in failures:
            print("  " + failure)
        return 1
    print("\nbench-gate: every figure within its budget")
    return 0


def over_budget(figures, instructions):
    failures = []
    for operation in ("tick", "handshake"):
        subject = figures[operation + ".subject"]
        bare = figures[operation + ".bare"]
        for what in ("heap", "pool"):
            if subject[what] > 0:
                failures.append("%s: %.3f %s allocations per operation (budget 0)"
                                % (operation, subject[what], what))
        if subject["switches"] > bare["switches"] + SWITCH_ALLOWANCE:
            failures.append("%s: %.2f context switches per operation (budget bare %.2f + %.1f)"
                            % (operation, subject["switches"], bare["switches"], SWITCH_ALLOWANCE))
        if subject["futex"] is None or bare["futex"] is None:
            failures.append("%s: futex calls not counted (see the counting run's output)"
                            % operation)
        elif subject["futex"] > bare["futex"] + FUTEX_ALLOWANCE:
            failures.append("%s: %.2f futex calls per operation (budget bare %.2f + %.1f)"
                            % (operation, subject["futex"], bare["futex"], FUTEX_ALLOWANCE))
        if instructions is not None:
            count = instructions.get(operation + ".subject")
            if count is None:
                failures.append("%s: no callgrind dump" % operation)
            elif count > INSTRUCTION_BUDGET[operation]:
                failures.append("%s: %.0f instructions per operation (budget %d)"
                                % (operation, count, INSTRUCTION_BUDGET[operation]))
    return failures


def print_table(native, instructions, attempts):
    print("per operation (native counts: lowest of %d run%s; instructions: callgrind)"
          % (attempts, "" if attempts == 1 else "s"))
    print("%-18s %12s %8s %8s %10s %8s" % ("phase", "instructions", "heap", "pool", "switches",
                                          "futex"))
    for phase in ("tick.subject", "tick.bare", "handshake.subject", "handshake.bare"):
        figures = native[phase]
        futex = "-" if figures["futex"] is None else "%.2f" % figures["futex"]
        count = instructions.get(phase)
        print("%-18s %12s %8.3f %8.3f %10.2f %8s" % (
            phase, "-" if count is None else "%.0f" % count, figures["heap"], figures["pool"],
            figures["switches"], futex))


def print_top(phase, dump, ops, top):
    total, functions = dump
    print("\n%s: %.0f instructions per operation; the largest own costs:" % (phase, total / ops))
    ranked = sorted(functions.items(), key=lambda item: item[1], reverse=True)[:top]
    for function, cost in ranked:
        print("  %8.0f  %5.1f%%  %s" % (cost / ops, 100.0 * cost / total, function[:110]))


if __name__ == "__main__":
    sys.exit(main())
