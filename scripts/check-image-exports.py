#!/usr/bin/env python3
"""Checks the export tables the host binds a Windows-built driver image to
(host/kernel/ImageExports.cpp) against both sides: every name a module's table lists is one that
Windows module exports (mingw-w64's import libraries; driver/platform/portcls.def for
portcls.sys), and every Windows routine or variable the host library defines is in a table,
unless it is one of the few below that no image may import.

Usage: check-image-exports.py libconduit_host.so
Environment: CONDUIT_MINGW_LIB_DIR (default /usr/x86_64-w64-mingw32/lib) and CONDUIT_MINGW_NM
(default x86_64-w64-mingw32-nm) name mingw-w64's import libraries and its nm.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE_FILE = os.path.join(ROOT, "host", "kernel", "ImageExports.cpp")
PORTCLS_DEF = os.path.join(ROOT, "driver", "platform", "portcls.def")

# Host routines no image may import: x64 Windows inlines the first three instead of exporting
# them, and a Windows-built image brings its own guarded mapping.
HOST_ONLY = {"KeRaiseIrql", "KeInitializeSpinLock", "KeQuerySystemTime", "MapLockedPagesGuarded"}
# Routines Windows exports (from 8 on) that mingw-w64's import library does not list: a driver
# finds them with MmGetSystemRoutineAddress.
NOT_IN_MINGW = {"ntoskrnl": {"IoGetDeviceInterfacePropertyData",
                             "IoSetDeviceInterfacePropertyData"}}
WINDOWS_NAME = re.compile(r"^(Dbg|Ex|Hal|Io|Iof|Ke|Kd|Ks|Mm|Ob|Obf|Pc|Po|Ps|Rtl|Se|Zw|Nt)[A-Z]\w*$"
                          r"|^__C_specific_handler$")


def run(command):
    """A tool's standard output; a missing or failing tool ends the check."""
    try:
        return subprocess.run(command, check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"check-image-exports: {' '.join(command)}: {error}")


def import_library_exports(nm_tool, library):
    """The names an import library's __imp_ symbols give, as the linker would bind them."""
    names = set()
    for line in run([nm_tool, library]).splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[1] == "I" and fields[2].startswith("__imp_"):
            names.add(fields[2][len("__imp_"):])
    return names


def def_file_exports(path):
    names, in_exports = set(), False
    with open(path) as lines:
        for line in lines:
            fields = line.split()
            if fields[:1] == ["EXPORTS"]:
                in_exports = True
            elif in_exports and fields and not fields[0].startswith(";"):
                names.add(fields[0])
    return names


def host_definitions(library):
    """Every dynamic symbol the host library defines."""
    return {fields[2] for fields in (line.split() for line in
                                     run(["nm", "-D", "--defined-only", library]).splitlines())
            if len(fields) >= 3}


def export_tables():
    """The names in each `const ImageExport <module>Exports[]` table."""
    tables, current = {}, None
    with open(TABLE_FILE) as lines:
        for line in lines:
            start = re.match(r"const ImageExport (\w+)Exports\[\] = \{", line)
            if start:
                current = tables.setdefault(start.group(1), set())
            elif current is not None and line.startswith("};"):
                current = None
            elif current is not None:
                entry = re.search(r'EXPORT\((\w+)\)|EXPORT_AS\("(\w+)"', line)
                if entry:
                    current.add(entry.group(1) or entry.group(2))
    return tables


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check-image-exports.py libconduit_host.so")
    host_library = sys.argv[1]
    lib_dir = os.environ.get("CONDUIT_MINGW_LIB_DIR", "/usr/x86_64-w64-mingw32/lib")
    nm_tool = os.environ.get("CONDUIT_MINGW_NM", "x86_64-w64-mingw32-nm")
    windows = {
        "ntoskrnl": import_library_exports(nm_tool, os.path.join(lib_dir, "libntoskrnl.a")),
        "hal": import_library_exports(nm_tool, os.path.join(lib_dir, "libhal.a")),
        "portcls": def_file_exports(PORTCLS_DEF),
    }
    tables = export_tables()
    problems = []
    for module, listed in sorted(tables.items()):
        if module not in windows:
            problems.append(f"a table for {module}, whose exports this check does not know")
            continue
        exported = windows[module] | NOT_IN_MINGW.get(module, set())
        for name in sorted(listed - exported):
            problems.append(f"{module} table lists {name}, which that Windows module does not "
                            "export")
    in_tables = set().union(*tables.values())
    for name in sorted(host_definitions(host_library)):
        if WINDOWS_NAME.match(name) and name not in in_tables and name not in HOST_ONLY:
            problems.append(f"the host defines {name} but no export table binds it")
    if problems:
        print("check-image-exports: " + "\n  - ".join([""] + problems), file=sys.stderr)
        sys.exit(1)
    print(f"check-image-exports: {sum(map(len, tables.values()))} names in {len(tables)} tables")


if __name__ == "__main__":
    main()
