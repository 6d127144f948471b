#!/bin/sh
# Runs the Windows build for real, under Wine: cross-builds the server and
# agentctl, publishes a small Windows UCI engine in a fresh working directory,
# plays one client session through it, asks for a report, and stops the server
# with Ctrl-C (SIGINT). Not part of the test command: Wine is large and slow
# to start. Loopback only; it uses the management port 53350 and port 5301.
#   scripts/windows_smoke.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix wine wine64
"$root/scripts/build_windows.sh" build/windows >/dev/null
work=$(mktemp -d /tmp/agent_windows_smoke_XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
server=""
cleanup() {
    [ -n "$server" ] && kill -INT "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "windows smoke: $*" >&2
    [ -f "$work/run/OrvaneAgentErr.log" ] && tail -n 20 "$work/run/OrvaneAgentErr.log" >&2
    exit 1
}

mkdir -p "$work/run/echo"
x86_64-w64-mingw32-g++-posix -O2 -static "$root/tests/tools/echo_engine.cpp" \
    -o "$work/run/echo/echo.exe"
cp "$root/build/windows/agent/agent.exe" "$root/build/windows/tools/agentctl.exe" "$work/run/"
echo "echo 5301 echo.exe" >"$work/run/orvane_agent.conf"
timeout 120 wineboot -i >/dev/null 2>&1 || fail "wineboot did not finish"

cd "$work/run"
timeout 120 wine agent.exe >console.txt 2>&1 &
launcher=$!
for _ in $(seq 1 60); do
    grep -q "Engine (echo) waiting for connections" console.txt 2>/dev/null && break
    sleep 1
done
grep -q "Engine (echo) waiting for connections" console.txt || fail "the server did not publish"
# The Windows process under Wine: the one whose command line is agent.exe.
server=$(pgrep -f "^agent.exe" | head -n 1 || true)
[ -n "$server" ] || server=$launcher

reply=$(printf 'uci\nisready\n' | timeout 20 socat -t 3 - TCP:127.0.0.1:5301 || true)
echo "$reply" | grep -q "id name QAV_X64WIN_127.0.0.1_echo##Echo 1.0" ||
    fail "no rewritten identification in: $reply"
echo "$reply" | grep -q "readyok" || fail "no readyok in: $reply"

report=$(timeout 30 wine agentctl.exe query --timeout=20 || true)
echo "$report" | grep -q "Engine(echo) TCP Port(5301)" || fail "no engine in the report: $report"

kill -INT "$server"
for _ in $(seq 1 20); do
    grep -q "Server terminated with sig(2)" OrvaneAgentErr.log && break
    sleep 1
done
grep -q "Server terminated with sig(2)" OrvaneAgentErr.log || fail "Ctrl-C did not stop the server"
server=""
wait "$launcher" 2>/dev/null || true
echo "windows smoke: published, relayed, reported and stopped under Wine"
