#!/bin/sh
# Builds the server and runs it in a ready demo working directory, demo/,
# which publishes Debian's Stockfish on TCP port 5001.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build/release "" agent agentctl
demo="$root/demo"
mkdir -p "$demo/stockfish"
if [ ! -f "$demo/orvane_agent.conf" ]; then
    cat >"$demo/orvane_agent.conf" <<'CONF'
# name      port  executable     arguments (separated by ':')
stockfish   5001  stockfish.exe
CONF
fi
# Engines live in a folder named after them; the server copies the
# executable per client.
cp /usr/games/stockfish "$demo/stockfish/stockfish.exe"
cd "$demo"
echo "Agent Server in $demo: engine 'stockfish' on port 5001, management on 53350"
echo "log: $demo/OrvaneAgentErr.log; stop with Ctrl-C"
exec "$root/build/release/agent/agent"
