#!/usr/bin/env bash
# The GUIDs declared for mingw-w64 (driver/platform) and for the host platform (host/include)
# were transcribed separately; every name both declare must carry the same value.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
python3 - "$root" <<'PY'
import glob
import re
import sys

root = sys.argv[1]


def guids(pattern):
    found = {}
    for path in glob.glob(f"{root}/{pattern}"):
        text = re.sub(r"\s+", " ", open(path).read())
        for match in re.finditer(r"DEFINE_GUID\((\w+), (0x[0-9A-Fa-fxX, ]*)\)", text):
            found[match.group(1)] = [int(part, 16) for part in match.group(2).split(", ")]
    return found


mingw, host = guids("driver/platform/Mingw*.h"), guids("host/include/*.h")
shared = sorted(set(mingw) & set(host))
differ = [name for name in shared if mingw[name] != host[name]]
for name in differ:
    print(f"check-guid-values: {name} differs: mingw {mingw[name]}, host {host[name]}", file=sys.stderr)
if not shared:
    sys.exit("check-guid-values: no GUID declared on both sides")
print(f"check-guid-values: {len(shared) - len(differ)} of {len(shared)} shared GUIDs agree"
      f" ({len(mingw) - len(shared)} declared for mingw only)")
sys.exit(1 if differ else 0)
PY
