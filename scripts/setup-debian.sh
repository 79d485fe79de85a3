#!/usr/bin/env bash
# Installs what building and testing the tray companion needs on Debian 12: the MinGW-w64 cross
# compiler, clang and lld for the second build, Wine to run the Windows programs, Xvfb and tools to
# drive and look at a desktop, the GoogleTest sources, clang-format and clang-tidy for the lint
# gate, Debian's pytest, mypy and packaging tools for the Python package (they install for
# /usr/bin/python3), and osslsigncode and openssl to sign the program of a release and to test
# that signing with a throwaway certificate. Given package names, installs only those. Does nothing when everything is
# there.
#
#   scripts/setup-debian.sh               everything
#   scripts/setup-debian.sh PACKAGE...    only these packages
set -euo pipefail

packages=(
    git cmake ninja-build python3
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
    clang lld
    wine wine64
    xvfb xdotool x11-utils imagemagick fonts-dejavu-core
    googletest
    clang-format clang-tidy
    python3-pytest python3-build python3-setuptools python3-wheel mypy
    osslsigncode openssl
)
if [ $# -gt 0 ]; then
    packages=("$@")
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
