#!/bin/sh
# Builds one configuration: scripts/build.sh DIR [address|thread|""] [TARGET ...]
# (every target when none is named).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
sanitize=${2:-}
[ $# -ge 2 ] && shift 2 || shift $#
cmake -S "$root" -B "$root/$dir" -G Ninja -DSANITIZE="$sanitize" >/dev/null
ninja -C "$root/$dir" "$@"
