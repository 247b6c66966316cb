#!/usr/bin/env bash
# The main command: sets up what is missing, builds the library and the jar into
# dist/, and runs the smoke program under Wine, which loads the DLL as a JVM
# does and prints what a few natives return.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake -S . -B build/x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build/x86 -j2 --target zarnwin32 java smoke

mkdir -p dist
cp build/x86/bin/zarnwin32.dll dist/zarnwin32.dll
cp build/x86/zarnwin32.jar dist/zarnwin32.jar
echo "dist/: $(ls dist | tr '\n' ' ')"

source scripts/winebed.sh
trap winebed_stop EXIT
xvfb-run -a bash -c 'source scripts/winebed.sh && winebed_prepare build/x86 && wine build/x86/bin/smoke.exe'
