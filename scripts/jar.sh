#!/usr/bin/env bash
# Makes jars whose bytes depend on their content alone: the files in sorted
# order, each entry with one fixed time, whatever the files' own times, the
# order in which the file system lists them or the time zone.
#   scripts/jar.sh TREE_JAR X86_DLL X64_DLL OUT_JAR
#       the self-contained jar: the jar of a build tree (the classes, the
#       version that ZarnWin32 reads, the manifest) with both libraries added
#       where ZarnWin32.load() looks for them, win32-x86/ and win32-x86-64/
#       (the stripped DLLs only; their .debug files go in no jar)
#   scripts/jar.sh --dirs OUT_JAR MANIFEST DIR...
#       a jar of every file under the DIRs, with the manifest given
set -euo pipefail
# The time of every entry. The jar tool of JDK 17 writes it as it is in every
# time zone; the test of the loader checks it.
date=2000-01-01T00:00:00Z

make_jar() {  # OUT MANIFEST DIR...
    local out=$1 manifest=$2 dir file
    shift 2
    local files=()
    for dir in "$@"; do
        while IFS= read -r -d '' file; do
            files+=(-C "$dir" "${file#./}")
        done < <(cd "$dir" && find . -type f ! -path ./META-INF/MANIFEST.MF -print0 | LC_ALL=C sort -z)
    done
    rm -f "$out.tmp"
    "${JAR:-jar}" --create --date="$date" --file "$out.tmp" --manifest "$manifest" "${files[@]}"
    mv "$out.tmp" "$out"
}

if [ "$1" = --dirs ]; then
    shift
    make_jar "$@"
    exit 0
fi

tree_jar=$(realpath "$1") x86_dll=$2 x64_dll=$3 out=$4
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
mkdir -p "$staging/files/win32-x86" "$staging/files/win32-x86-64"
(cd "$staging/files" && "${JAR:-jar}" xf "$tree_jar")
cp "$x86_dll" "$staging/files/win32-x86/zarnwin32.dll"
cp "$x64_dll" "$staging/files/win32-x86-64/zarnwin32.dll"
make_jar "$out" "$staging/files/META-INF/MANIFEST.MF" "$staging/files"
