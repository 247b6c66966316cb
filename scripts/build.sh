#!/usr/bin/env bash
# The main command: sets up what is missing, builds the 32-bit and the 64-bit
# library, puts them with the jar that carries both, the sources and Javadoc
# jars and the POM into dist/ (scripts/dist.sh), and runs the smoke program of
# each library under Wine: it loads the DLL as a JVM does and prints what a few
# natives return.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/compile.sh build zarnwin32 java smoke
rm -rf dist
scripts/dist.sh build dist
echo "dist/: $(cd dist && find . -type f | sort | tr '\n' ' ')"

xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    source scripts/winebed.sh
    winebed_prepare build
    trap winebed_stop EXIT
    echo "== 32-bit library (x86)"
    wine build/x86/bin/smoke.exe
    echo "== 64-bit library (x64)"
    /usr/lib/wine/wine64 build/x64/bin/smoke.exe
'
