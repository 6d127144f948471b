#!/bin/sh
# Builds the Release configuration in build/bench and runs the benchmark:
#   bench/run.sh [--quick] [--json=PATH] [more agent_bench options]
# The table goes to the terminal, the same figures as JSON to bench/results.json unless
# --json=PATH says otherwise.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$root/build/bench" agent test_engine agent_bench >/dev/null
exec "$root/build/bench/bench/agent_bench" --json="$root/bench/results.json" "$@"
