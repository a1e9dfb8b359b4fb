#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds the C example against it twice, as outside
# projects do: through find_package(Conduit) and through pkg-config. Both programs must then load
# (the library finds the host platform installed beside it) and, with no host machine running,
# say that there is no device. Nothing of the test harness may be installed.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: check-installed-package.sh BUILD-DIR WORK-DIR EXAMPLE-DIR LIBDIR" >&2
    exit 2
fi
build=$1
work=$2
example=$3
libdir=$4
prefix=$work/prefix

fail() {
    echo "check-installed-package: $*" >&2
    exit 1
}

rm -rf "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
if find "$prefix" -name '*harness*' | grep -q .; then
    fail "the test harness was installed"
fi

cmake -S "$example" -B "$work/cmake-example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
    fail "find_package(Conduit) did not configure the example"
cmake --build "$work/cmake-example" >/dev/null || fail "the example did not build with the package"

flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs conduit-client) ||
    fail "pkg-config does not know conduit-client"
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -Wall -Wextra -Werror -pedantic "$example/record.c" $flags -o "$work/pkg-config-example" ||
    fail "the example did not build with pkg-config's flags"

# CMake gives its program the path to the library; a pkg-config user sets one of their own.
for program in "$work/cmake-example/conduit-record" \
    "env LD_LIBRARY_PATH=$prefix/$libdir $work/pkg-config-example"; do
    # shellcheck disable=SC2086 # the command is words
    if output=$($program "$work/none.wav" 0.1 2>&1); then
        fail "$program recorded without a device"
    fi
    case "$output" in
    *CONDUIT_ERROR_NO_DEVICE*) ;;
    *) fail "$program: $output" ;;
    esac
done
echo "check-installed-package: find_package and pkg-config both build the example against $prefix"
