#!/bin/sh
# Builds one configuration: scripts/build.sh DIR [address|thread]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
sanitize=${2:-}
cmake -S "$root" -B "$root/$dir" -G Ninja -DSANITIZE="$sanitize" >/dev/null
ninja -C "$root/$dir"
