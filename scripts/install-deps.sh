#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian 12 machine, and does nothing when all of it
# is already there. Used by every Makefile target.
set -euo pipefail

packages=(
    cmake ninja-build make g++ gcc clang libclang-rt-14-dev llvm
    googletest
    g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    clang-format clang-tidy python3 binutils pkgconf
    valgrind
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
