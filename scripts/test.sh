#!/bin/sh
# Installs what the tests need, builds, and runs the whole suite three times:
# plain, under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer. Any failure or sanitizer report fails the run. Last, the
# Windows cross build must compile and link.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for config in "build/release:" "build/asan:address" "build/tsan:thread"; do
    dir=${config%%:*}
    sanitize=${config#*:}
    echo "=== $dir ${sanitize:-plain}"
    "$root/scripts/build.sh" "$dir" "$sanitize"
    # ThreadSanitizer needs the classic address-space layout on kernels with
    # high mmap randomisation; setarch -R gives it to the test processes.
    runner=""
    if [ "$sanitize" = thread ]; then runner="setarch $(uname -m) -R"; fi
    (cd "$root/$dir" && $runner ctest --output-on-failure -j2 --timeout 300)
done
echo "=== build/windows cross build"
"$root/scripts/build_windows.sh" build/windows
echo "all tests passed"
