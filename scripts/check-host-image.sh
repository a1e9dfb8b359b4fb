#!/usr/bin/env bash
# Checks the host build of the driver image the way a Windows kernel link would: no dynamic
# initialisers, no C++ runtime (exceptions, RTTI, thread-safe statics, atexit), and no import
# that the host platform (our ntoskrnl) or the few kernel-exported C routines do not provide.
set -euo pipefail
image=$1
host_library=$(dirname "$image")/../host/libconduit_host.so
[ -f "$host_library" ] || host_library=$(find "$(dirname "$image")/.." -name libconduit_host.so | head -n 1)

fail=0
forbidden=$(nm -C "$image" | grep -E '_GLOBAL__sub_I_|__cxa_guard_|__cxa_atexit|__cxa_throw|__cxa_begin_catch|_Unwind_Resume|__gxx_personality|typeinfo for' || true)
if [ -n "$forbidden" ]; then
    echo "check-host-image: $image uses the C++ runtime or has dynamic initialisers:" >&2
    echo "$forbidden" >&2
    fail=1
fi

allowed_c='^(memcpy|memset|memmove|memcmp|__stack_chk_fail|__cxa_finalize|_ITM_.*|__gmon_start__|__(a|ub|t)san_.*|__sanitizer_.*|__sancov_.*)$'
exported=$(nm -D --defined-only "$host_library" | awk '{print $3}' | sed 's/@.*//' | sort -u)
missing=$(nm -D --undefined-only "$image" | awk '{print $2}' | sed 's/@.*//' | sort -u |
    grep -v -x -F -f <(printf '%s\n' "$exported") | grep -v -E "$allowed_c" || true)
if [ -n "$missing" ]; then
    echo "check-host-image: $image imports names the host kernel does not export:" >&2
    echo "$missing" >&2
    fail=1
fi
exit $fail
