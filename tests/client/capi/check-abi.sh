#!/usr/bin/env bash
# Compares the symbols a built client library exports with the committed list, so that an export
# added or lost by accident fails the build's tests: the ELF library's dynamic symbols (less the
# version node), or the DLL's export table.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: check-abi.sh LIBRARY SYMBOL-LIST" >&2
    exit 2
fi
library=$1
list=$2

case "$library" in
*.dll)
    objdump=$(command -v x86_64-w64-mingw32-objdump || echo objdump)
    exported=$("$objdump" -p "$library" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p')
    ;;
*)
    exported=$(nm -D --defined-only "$library" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }')
    ;;
esac

if [ -z "$exported" ]; then
    echo "check-abi: $library exports nothing (or could not be read)" >&2
    exit 1
fi
if ! difference=$(diff <(sort -u "$list") <(echo "$exported" | sort -u)); then
    echo "check-abi: $library does not export what $list says ('<' missing, '>' extra):" >&2
    echo "$difference" >&2
    exit 1
fi
echo "check-abi: $library exports the $(echo "$exported" | wc -l) symbols of $list"
