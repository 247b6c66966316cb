#!/usr/bin/env bash
# The test command: sets up what is missing, builds the 32-bit and the 64-bit
# library with every test, and runs every test of both under Wine (with Xvfb
# for windows) in a throwaway prefix with one wineserver for the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/compile.sh build

rm -rf build/wineprefix
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    source scripts/winebed.sh
    # Heap checking: tail checking (0x10) and free checking (0x20). Validating
    # the whole heap at every call (0x80) reports blocks that no one overwrote
    # when threads use the heap at once under Wine 8.0, and is slow under qemu.
    winebed_prepare build 0x30
    trap winebed_stop EXIT
    wine build/x86/bin/smoke.exe >/dev/null || true   # the first windows of a new prefix may fail
    status=0
    for arch in x86 x64; do
        echo "== tests of the $arch library"
        ctest --test-dir "build/$arch" --output-on-failure -j2 --timeout 400 || status=1
    done
    exit $status
'
