#!/usr/bin/env python3
"""The image checks must refuse what is not a driver: run them on the Wine test program (a
console program on the C runtime), and on a copy of it with one byte changed after linking,
and require a refusal for each reason each has.

Usage: check-image-rejects.py PROGRAM.exe"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "scripts", "check-windows-image.py")


def refusals(image, reasons):
    result = subprocess.run([sys.executable, CHECK, image], capture_output=True, text=True)
    output = result.stdout + result.stderr
    if result.returncode == 0:
        return [f"the image checks accepted {image}"]
    return [f'no refusal for "{reason}" in:\n{output}' for reason in reasons
            if reason not in output]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check-image-rejects.py PROGRAM.exe")
    program = sys.argv[1]
    if not os.path.isfile(program):
        print(f"check-image-rejects: no such program: {program}", file=sys.stderr)
        sys.exit(2)
    with tempfile.TemporaryDirectory() as work:
        tampered = os.path.join(work, "tampered.exe")
        shutil.copyfile(program, tampered)
        with open(tampered, "r+b") as image:
            image.seek(os.path.getsize(tampered) // 2)
            image.write(b"\x5a")
        problems = refusals(program, [
            "subsystem is 3, not native", "has thread-local storage",
            "C/C++ runtime or user-mode library msvcrt.dll",
            "C/C++ runtime or user-mode library KERNEL32.dll"
        ]) + refusals(tampered, ["checksum is"])
    for problem in problems:
        print(f"check-image-rejects: {problem}", file=sys.stderr)
    if problems:
        sys.exit(1)
    print(f"check-image-rejects: the image checks refuse {os.path.basename(program)} and a"
          " tampered copy")


if __name__ == "__main__":
    main()
