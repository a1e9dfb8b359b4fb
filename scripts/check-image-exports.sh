#!/usr/bin/env bash
# Checks the export tables the host binds a Windows-built driver image to
# (host/kernel/ImageExports.cpp) against both sides: every name a module's table lists is one
# that Windows module exports (mingw-w64's import libraries; driver/platform/portcls.def for
# portcls.sys), and every Windows routine or variable the host library defines is in a table,
# unless it is one of the few below that no image may import.
# Usage: check-image-exports.sh libconduit_host.so
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
host_library=${1:?usage: check-image-exports.sh libconduit_host.so}
lib_dir=${CONDUIT_MINGW_LIB_DIR:-/usr/x86_64-w64-mingw32/lib}
nm_tool=${CONDUIT_MINGW_NM:-x86_64-w64-mingw32-nm}

lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT
exports_of() { "$nm_tool" "$lib_dir/$1" | awk '$2 == "I" && $3 ~ /^__imp_/ { sub(/^__imp_/, "", $3); print $3 }' | sort -u; }
exports_of libntoskrnl.a >"$lists/ntoskrnl"
exports_of libhal.a >"$lists/hal"
awk 'f && NF && $1 !~ /^;/ { print $1 } /^EXPORTS/ { f = 1 }' "$root/driver/platform/portcls.def" |
    sort -u >"$lists/portcls"
nm -D --defined-only "$host_library" | awk '{ print $3 }' | sort -u >"$lists/host"

python3 - "$root/host/kernel/ImageExports.cpp" "$lists" <<'PY'
import re
import sys

table_file, lists = sys.argv[1], sys.argv[2]
# Host routines no image may import: x64 Windows inlines the first three instead of exporting
# them, and a Windows-built image brings its own guarded mapping.
host_only = {"KeRaiseIrql", "KeInitializeSpinLock", "KeQuerySystemTime", "MapLockedPagesGuarded"}
# Routines Windows exports (from 8 on) that mingw-w64's import library does not list: a driver
# finds them with MmGetSystemRoutineAddress.
not_in_mingw = {"ntoskrnl": {"IoGetDeviceInterfacePropertyData", "IoSetDeviceInterfacePropertyData"}}
windows_name = re.compile(r"^(Dbg|Ex|Hal|Io|Iof|Ke|Kd|Ks|Mm|Ob|Obf|Pc|Po|Ps|Rtl|Se|Zw|Nt)[A-Z]\w*$"
                          r"|^__C_specific_handler$")

def names(path):
    with open(path) as lines:
        return {line.strip() for line in lines if line.strip()}

tables, current = {}, None
for line in open(table_file):
    start = re.match(r"const ImageExport (\w+)Exports\[\] = \{", line)
    if start:
        current = tables.setdefault(start.group(1), set())
        continue
    if current is not None and line.startswith("};"):
        current = None
        continue
    if current is not None:
        entry = re.search(r'EXPORT\((\w+)\)|EXPORT_AS\("(\w+)"', line)
        if entry:
            current.add(entry.group(1) or entry.group(2))

problems = []
for module, listed in sorted(tables.items()):
    windows = names(f"{lists}/{module}") | not_in_mingw.get(module, set())
    for name in sorted(listed - windows):
        problems.append(f"{module} table lists {name}, which that Windows module does not export")
in_tables = set().union(*tables.values())
for name in sorted(names(f"{lists}/host")):
    if windows_name.match(name) and name not in in_tables and name not in host_only:
        problems.append(f"the host defines {name} but no export table binds it")
if problems:
    print("check-image-exports: " + "\n  - ".join([""] + problems), file=sys.stderr)
    sys.exit(1)
print(f"check-image-exports: {sum(map(len, tables.values()))} names in {len(tables)} tables")
PY
