#!/usr/bin/env bash
# Puts what a build ships into a folder, from the 32-bit and the 64-bit tree:
#   zarnwin32.jar                   the classes and both DLLs, for every JVM
#   zarnwin32-<version>.jar         the same bytes, under the name Maven expects,
#   zarnwin32-<version>-sources.jar, zarnwin32-<version>-javadoc.jar, zarnwin32-<version>.pom
#   x86/zarnwin32.dll, x64/zarnwin32.dll, zarnwin32.dll (the 32-bit one, where it always stood)
#   x86/zarnwin32.dll.debug, x64/zarnwin32.dll.debug
#                                   the debug information stripped from each DLL, which
#                                   no jar carries
#   SHA256SUMS                      the SHA-256 of each of these files (sha256sum -c SHA256SUMS)
# Every file is the same, byte for byte, for two builds of one commit.
#   scripts/dist.sh BUILD_DIR OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 out=$2
version=$(cat "$build/x86/java-resources/com/zarn/kelda/dravik/common/win32/zarnwin32.version")
javadoc_dir=$(mktemp -d)
trap 'rm -rf "$javadoc_dir"' EXIT

mkdir -p "$out/x86" "$out/x64"
rm -f "$out/SHA256SUMS"
for arch in x86 x64; do
    cp "$build/$arch/bin/zarnwin32.dll" "$build/$arch/bin/zarnwin32.dll.debug" "$out/$arch/"
done
cp "$build/x86/bin/zarnwin32.dll" "$out/zarnwin32.dll"
"$root/scripts/jar.sh" "$build/x86/zarnwin32.jar" "$out/x86/zarnwin32.dll" "$out/x64/zarnwin32.dll" "$out/zarnwin32-$version.jar"
cp "$out/zarnwin32-$version.jar" "$out/zarnwin32.jar"
"$root/scripts/jar.sh" --dirs "$out/zarnwin32-$version-sources.jar" "$build/x86/MANIFEST.MF" "$root/java"
javadoc --release 8 -quiet -notimestamp -encoding UTF-8 -d "$javadoc_dir" $(find "$root/java" -name '*.java' | LC_ALL=C sort)
"$root/scripts/jar.sh" --dirs "$out/zarnwin32-$version-javadoc.jar" "$build/x86/MANIFEST.MF" "$javadoc_dir"
cp "$build/x86/zarnwin32.pom" "$out/zarnwin32-$version.pom"
(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
