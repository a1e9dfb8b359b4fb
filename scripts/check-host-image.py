#!/usr/bin/env python3
"""Checks the host build of the driver image the way a Windows kernel link would: no dynamic
initialisers, no C++ runtime (exceptions, RTTI, thread-safe statics, atexit), and no import
that the host platform (our ntoskrnl) or the few kernel-exported C routines do not provide.

Usage: check-host-image.py IMAGE.so
"""
import glob
import os
import re
import subprocess
import sys

FORBIDDEN = re.compile(r"_GLOBAL__sub_I_|__cxa_guard_|__cxa_atexit|__cxa_throw|__cxa_begin_catch"
                       r"|_Unwind_Resume|__gxx_personality|typeinfo for")
ALLOWED_C = re.compile(r"(memcpy|memset|memmove|memcmp|__stack_chk_fail|__cxa_finalize|_ITM_.*"
                       r"|__gmon_start__|__(a|ub|t)san_.*|__sanitizer_.*|__sancov_.*)")


def nm(*arguments):
    return subprocess.run(["nm", *arguments], check=True, capture_output=True,
                          text=True).stdout.splitlines()


def dynamic_names(path, *which):
    """The dynamic symbols' names (without a version) that nm lists with these options."""
    return {line.split()[-1].split("@")[0] for line in nm("-D", *which, path) if line.split()}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check-host-image.py IMAGE.so")
    image = sys.argv[1]
    build = os.path.join(os.path.dirname(image), "..")
    host_library = os.path.join(build, "host", "libconduit_host.so")
    if not os.path.isfile(host_library):
        found = glob.glob(os.path.join(build, "**", "libconduit_host.so"), recursive=True)
        if not found:
            sys.exit(f"check-host-image: no libconduit_host.so near {image}")
        host_library = found[0]

    failed = False
    forbidden = [line for line in nm("-C", image) if FORBIDDEN.search(line)]
    if forbidden:
        print(f"check-host-image: {image} uses the C++ runtime or has dynamic initialisers:",
              *forbidden, sep="\n", file=sys.stderr)
        failed = True

    exported = dynamic_names(host_library, "--defined-only")
    missing = sorted(name for name in dynamic_names(image, "--undefined-only")
                     if name not in exported and not ALLOWED_C.fullmatch(name))
    if missing:
        print(f"check-host-image: {image} imports names the host kernel does not export:",
              *missing, sep="\n", file=sys.stderr)
        failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
