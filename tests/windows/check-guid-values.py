#!/usr/bin/env python3
"""Every GUID the project spells twice must carry one value: the DEFINE_GUIDs and
DEFINE_DEVPROPKEYs declared for mingw-w64 (driver/platform) and for the host platform
(host/include) were transcribed separately, and so were the STATIC_ spellings that constant
tables use."""
import glob
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def spelled(pattern, form):
    """Name -> the eleven numbers of every `form` match in the files of pattern."""
    found = {}
    for path in glob.glob(os.path.join(ROOT, pattern), recursive=True):
        text = re.sub(r"\s+", " ", open(path).read().replace("\\\n", " "))
        for match in re.finditer(form, text):
            found[match.group(1)] = [int(part, 16) for part in match.group(2).split(",")]
    return found


DEFINE = r"DEFINE_(?:GUID|DEVPROPKEY)\((\w+), (0x[0-9A-Fa-fxX, ]*)\)"
STATIC = r"#define STATIC_(\w+) (0x[0-9A-Fa-fxX, ]*[0-9A-Fa-f])"
host = spelled("host/include/**/*.h", DEFINE)
pairs = [("mingw", spelled("driver/platform/Mingw*.h", DEFINE)),
         ("host STATIC_", spelled("host/include/**/*.h", STATIC)),
         ("mingw STATIC_", spelled("driver/platform/Mingw*.h", STATIC))]
failed = False
for label, other in pairs:
    shared = sorted(set(other) & set(host))
    if not shared:
        sys.exit(f"check-guid-values: no GUID spelled both by {label} and host/include")
    for name in shared:
        if other[name] != host[name]:
            print(f"check-guid-values: {name} differs: {label} {other[name]}, host {host[name]}",
                  file=sys.stderr)
            failed = True
    print(f"check-guid-values: {len(shared)} GUIDs spelled by {label} and host/include"
          f" ({len(set(other) - set(host))} by {label} only)")
sys.exit(1 if failed else 0)
