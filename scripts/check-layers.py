#!/usr/bin/env python3
"""Holds driver/ to its folder order: adapter -> audio -> transport -> support -> platform. A file
may include headers of its own folder and of the folders after it, never of one before it, so
the folders cannot form a cycle. Beside those, the driver includes only the Windows headers it
is built against (by their Windows names, in angle brackets), never the host's or a C++ library.

Usage: check-layers.py [DRIVER_DIR]   (default: the driver/ next to this script's folder)
Exits 1 and lists every crossing include; 2 when the folder is not a driver tree.
"""
import os
import re
import sys

ORDER = ["adapter", "audio", "transport", "support", "platform"]
# The Windows and compiler headers driver code may name; everything else comes from its folders.
WINDOWS_HEADERS = {"ntifs.h", "ntddk.h", "wdm.h", "portcls.h", "ks.h", "ksmedia.h", "mmreg.h",
                   "initguid.h", "stdarg.h"}
SOURCE_SUFFIXES = (".h", ".cpp", ".S")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "driver")
if len(sys.argv) > 2 or not all(os.path.isdir(os.path.join(root, f)) for f in ORDER):
    print(f"check-layers: not a driver tree: {root}", file=sys.stderr)
    sys.exit(2)

errors = []
checked = 0
for dirpath, _, names in os.walk(root):
    relative = os.path.relpath(dirpath, root)
    folder = relative.split(os.sep)[0]
    for name in sorted(n for n in names if n.endswith(SOURCE_SUFFIXES)):
        path = os.path.join(dirpath, name)
        shown = os.path.join("driver", os.path.relpath(path, root))
        if folder not in ORDER:
            errors.append(f"{shown}: a source outside the driver's folders {ORDER}")
            continue
        checked += 1
        with open(path, encoding="utf-8") as source:
            for number, line in enumerate(source, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                bracket, target = match.groups()
                closing = ">" if bracket == "<" else '"'
                where = f"{shown}:{number}: #include {bracket}{target}{closing}"
                if bracket == "<":
                    if target not in WINDOWS_HEADERS:
                        errors.append(f"{where}: not a Windows header the driver is built against")
                    continue
                parts = target.split("/")
                if len(parts) == 1:
                    # A bare name is its own folder's header.
                    if not os.path.isfile(os.path.join(dirpath, target)):
                        errors.append(f"{where}: no such header in {folder}/")
                    continue
                if len(parts) != 2 or parts[0] not in ORDER:
                    errors.append(f"{where}: not a header of the driver's folders")
                    continue
                if not os.path.isfile(os.path.join(root, target)):
                    errors.append(f"{where}: no such header")
                elif ORDER.index(parts[0]) < ORDER.index(folder):
                    errors.append(f"{where}: {folder}/ may not include {parts[0]}/, which is above "
                                  f"it ({' -> '.join(ORDER)})")

if checked == 0:
    print(f"check-layers: no sources under {root}", file=sys.stderr)
    sys.exit(2)
for error in errors:
    print(error, file=sys.stderr)
sys.exit(1 if errors else 0)
