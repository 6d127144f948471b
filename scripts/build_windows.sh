#!/bin/sh
# Cross-builds the server and agentctl for 64-bit Windows with MinGW-w64 into
# DIR (build/windows by default). The end-to-end suite runs the Linux build;
# this keeps the Windows platform folder compiling and linking with every change.
#   scripts/build_windows.sh [DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build/windows}
"$root/scripts/setup.sh" g++-mingw-w64-x86-64-posix
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DORVANE_BUILD_TESTS=OFF >/dev/null
ninja -C "$root/$dir" agent agentctl
# Statically linked: only system libraries of Windows may be imported.
for exe in "$root/$dir/agent/agent.exe" "$root/$dir/tools/agentctl.exe"; do
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    for dll in $imports; do
        case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
        kernel32.dll | msvcrt.dll | ws2_32.dll | advapi32.dll | user32.dll) ;;
        *)
            echo "$exe imports $dll, which a Windows machine may not have" >&2
            exit 1
            ;;
        esac
    done
done
echo "windows build: $dir/agent/agent.exe $dir/tools/agentctl.exe"
