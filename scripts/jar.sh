#!/usr/bin/env bash
# Makes the self-contained jar: the jar of a build tree (the classes, the
# version that ZarnWin32 reads, the manifest) with both libraries added where
# ZarnWin32.load() looks for them, win32-x86/ and win32-x86-64/.
#   scripts/jar.sh TREE_JAR X86_DLL X64_DLL OUT_JAR
set -euo pipefail
tree_jar=$1 x86_dll=$2 x64_dll=$3 out=$4
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging/win32-x86" "$staging/win32-x86-64"
cp "$x86_dll" "$staging/win32-x86/zarnwin32.dll"
cp "$x64_dll" "$staging/win32-x86-64/zarnwin32.dll"
cp "$tree_jar" "$out.tmp"
jar uf "$out.tmp" -C "$staging" win32-x86 -C "$staging" win32-x86-64
mv "$out.tmp" "$out"
