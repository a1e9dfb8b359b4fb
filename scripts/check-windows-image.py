#!/usr/bin/env python3
"""Checks the Windows driver image as the kernel loader and a driver reviewer would: native x64
image with an entry point, a correct checksum and relocations; imports only from ntoskrnl.exe,
HAL.dll, portcls.sys and ks.sys, each name one that library exports (mingw-w64's import
libraries, and driver/platform/portcls.def); no C/C++ runtime, no exports, no TLS, and no
section both writable and executable.

Usage: check-windows-image.py IMAGE.sys
(CONDUIT_MINGW_LIB_DIR and CONDUIT_MINGW_NM name another mingw-w64 library folder and nm.)
"""
import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB_DIR = os.environ.get("CONDUIT_MINGW_LIB_DIR", "/usr/x86_64-w64-mingw32/lib")
NM = os.environ.get("CONDUIT_MINGW_NM", "x86_64-w64-mingw32-nm")

if len(sys.argv) != 2:
    sys.exit("usage: check-windows-image.py IMAGE.sys")
image_path = sys.argv[1]
if not os.path.isfile(image_path):
    print(f"check-windows-image: no such image: {image_path}", file=sys.stderr)
    sys.exit(2)


def exports_of(archive):
    """The names a kernel library exports, as its import library lists them (__imp_NAME)."""
    try:
        listing = subprocess.run([NM, os.path.join(LIB_DIR, archive)], capture_output=True,
                                 text=True).stdout
    except OSError:
        return set()
    names = set()
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] == "I" and fields[2].startswith("__imp_"):
            names.add(fields[2][len("__imp_"):])
    return names


def definition_exports(path):
    """The names after EXPORTS in a module-definition file."""
    names, listing = set(), False
    for line in open(path):
        fields = line.split()
        if fields and fields[0] == "EXPORTS":
            listing = True
        elif listing and fields and not fields[0].startswith(";"):
            names.add(fields[0])
    return names


allowed = {
    "ntoskrnl.exe": exports_of("libntoskrnl.a"),
    "hal.dll": exports_of("libhal.a"),
    "ks.sys": exports_of("libks.a"),
    "portcls.sys": definition_exports(os.path.join(ROOT, "driver/platform/portcls.def")),
}
data = open(image_path, "rb").read()
problems = []


def fail(message):
    problems.append(message)


def u16(offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(offset):
    return struct.unpack_from("<I", data, offset)[0]


def u64(offset):
    return struct.unpack_from("<Q", data, offset)[0]


if data[:2] != b"MZ" or data[u32(0x3C):u32(0x3C) + 4] != b"PE\0\0":
    sys.exit(f"check-windows-image: {image_path} is not a PE image")

coff = u32(0x3C) + 4
machine, section_count = u16(coff), u16(coff + 2)
optional = coff + 20
optional_size = u16(coff + 16)
if machine != 0x8664:
    fail(f"machine is 0x{machine:04x}, not x64 (0x8664)")
if u16(optional) != 0x20B:
    fail("optional header is not PE32+")
entry = u32(optional + 16)
subsystem = u16(optional + 68)
dll_characteristics = u16(optional + 70)
directory_count = u32(optional + 108)
directories = [(u32(optional + 112 + 8 * i), u32(optional + 116 + 8 * i))
               for i in range(min(directory_count, 16))]
directories += [(0, 0)] * (16 - len(directories))

if subsystem != 1:
    fail(f"subsystem is {subsystem}, not native (1)")
if not dll_characteristics & 0x0100:
    fail("not marked NX-compatible")
if not dll_characteristics & 0x0040:
    fail("not marked relocatable (dynamic base)")

# The loader refuses a driver whose header checksum is wrong: 16-bit sum with end-around carry
# over the whole file (the checksum field itself excluded), plus the file length.
checksum_at = optional + 64
padded = data + b"\0" * (len(data) % 2)
total = sum(word for (word,) in struct.iter_unpack("<H", padded))
total -= u16(checksum_at) + u16(checksum_at + 2)
while total >> 16:
    total = (total & 0xFFFF) + (total >> 16)
checksum = (total + len(data)) & 0xFFFFFFFF
if u32(checksum_at) != checksum:
    fail(f"checksum is 0x{u32(checksum_at):08x}, the image sums to 0x{checksum:08x}")

sections = []
table = optional + optional_size
for i in range(section_count):
    header = table + 40 * i
    name = data[header:header + 8].rstrip(b"\0").decode(errors="replace")
    virtual_size, virtual_address = u32(header + 8), u32(header + 12)
    raw_size, raw_offset, flags = u32(header + 16), u32(header + 20), u32(header + 36)
    sections.append((name, virtual_address, max(virtual_size, raw_size), raw_offset, flags))
    if flags & 0x20000000 and flags & 0x80000000:
        fail(f"section {name} is both writable and executable")


def file_offset(rva):
    for name, address, size, raw_offset, flags in sections:
        if address <= rva < address + size:
            return raw_offset + rva - address
    raise ValueError(f"RVA 0x{rva:x} lies in no section")


def text_at(rva):
    start = file_offset(rva)
    return data[start:data.index(b"\0", start)].decode()


entry_section = [s for s in sections if s[1] <= entry < s[1] + s[2]]
if entry == 0:
    fail("no entry point")
elif not entry_section or not entry_section[0][4] & 0x20000000:
    fail(f"entry point 0x{entry:x} is not in an executable section")
if directories[0][1]:
    fail("has an export directory")
if directories[9][1]:
    fail("has thread-local storage, which the kernel loader does not support")
if not directories[5][1]:
    fail("has no base relocations")

runtime_prefixes = ("msvcr", "msvcp", "ucrt", "vcruntime", "api-ms-win-crt", "libstdc++", "libgcc",
                    "libwinpthread", "kernel32", "cygwin", "msys-")

imports = {}
import_rva = directories[1][0]
if import_rva:
    descriptor = file_offset(import_rva)
    while any(data[descriptor:descriptor + 20]):
        lookup_rva, name_rva = u32(descriptor), u32(descriptor + 12)
        library = text_at(name_rva)
        names = imports.setdefault(library, [])
        thunk = file_offset(lookup_rva or u32(descriptor + 16))
        while u64(thunk):
            value = u64(thunk)
            names.append(f"#{value & 0xFFFF}" if value >> 63 else text_at((value & 0x7FFFFFFF) + 2))
            thunk += 8
        descriptor += 20

for library, names in sorted(imports.items()):
    key = library.lower()
    if key.startswith(runtime_prefixes):
        fail(f"imports the C/C++ runtime or user-mode library {library}: {', '.join(names)}")
        continue
    if key not in allowed:
        fail(f"imports from {library}, which a kernel driver may not load: {', '.join(names)}")
        continue
    unknown = [name for name in names if name not in allowed[key]]
    if unknown:
        fail(f"imports from {library} names it does not export: {', '.join(unknown)}")

summary = ", ".join(f"{library} ({len(names)})" for library, names in sorted(imports.items()))
if problems:
    print(f"check-windows-image: {image_path} fails:", file=sys.stderr)
    for problem in problems:
        print(f"  - {problem}", file=sys.stderr)
    sys.exit(1)
print(f"check-windows-image: {image_path}: native x64 driver, entry 0x{entry:x}, imports {summary}")
