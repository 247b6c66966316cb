#!/usr/bin/env bash
# The main command: sets up what is missing, builds the 32-bit and the 64-bit
# library, the jar that carries both and the sources and Javadoc jars into
# dist/, and runs the smoke program of each library under Wine: it loads the
# DLL as a JVM does and prints what a few natives return.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/compile.sh build zarnwin32 java smoke
for arch in x86 x64; do
    mkdir -p "dist/$arch"
    cp "build/$arch/bin/zarnwin32.dll" "dist/$arch/zarnwin32.dll"
done
# The 32-bit library also stands at the top of dist/, where it has always been.
cp build/x86/bin/zarnwin32.dll dist/zarnwin32.dll
scripts/jar.sh build/x86/zarnwin32.jar build/x86/bin/zarnwin32.dll build/x64/bin/zarnwin32.dll dist/zarnwin32.jar
# What IDEs attach to the jar, with the jar's manifest.
jar cfm dist/zarnwin32-sources.jar build/x86/MANIFEST.MF -C java .
rm -rf build/javadoc
javadoc --release 8 -quiet -notimestamp -encoding UTF-8 -d build/javadoc $(find java -name '*.java' | sort)
jar cfm dist/zarnwin32-javadoc.jar build/x86/MANIFEST.MF -C build/javadoc .
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
