#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing (only as root; otherwise it says what is missing).
#   scripts/setup.sh [MORE_PACKAGE ...]
set -eu
packages="cmake ninja-build g++ libgtest-dev stockfish socat netbase $*"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
    else
        echo "missing Debian packages:$missing (run as root to install them)" >&2
        exit 1
    fi
fi
