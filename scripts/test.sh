#!/usr/bin/env bash
# The test command: sets up what is missing, builds everything, and runs every
# test under Wine (with Xvfb for windows) in a throwaway prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake -S . -B build/x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/x86 -j2

rm -rf build/x86/wineprefix
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    source scripts/winebed.sh
    winebed_prepare build/x86
    trap winebed_stop EXIT
    wine build/x86/bin/smoke.exe >/dev/null || true   # the first windows of a new prefix may fail
    ctest --test-dir build/x86 --output-on-failure -j2 --timeout 400
'
