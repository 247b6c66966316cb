#!/usr/bin/env bash
# Reads the built DLL's export and import tables (objdump -p) and checks that
# it exports exactly the natives of expected_exports.txt under their
# decorated names, and imports Windows system DLLs only.
#   check_exports.sh OBJDUMP DLL ARCH(x86|x64)
set -euo pipefail
objdump=$1 dll=$2 arch=$3
here=$(dirname "$0")
table=$("$objdump" -p "$dll")

expected=$(grep -v '^#' "$here/expected_exports.txt" | while read -r name bytes; do
    if [ "$arch" = x86 ]; then echo "_${name}@${bytes}"; else echo "$name"; fi
done | sort)
# The export name table: lines "[ n] name" after "[Ordinal/Name Pointer] Table".
actual=$(printf '%s\n' "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
    | sed -n 's/^\s*\[\s*[0-9]*\]\s*\(\S*\)$/\1/p' | sort)

status=0
if [ "$expected" != "$actual" ]; then
    echo "exports differ from the natives (< expected, > exported):"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
    status=1
fi

allowed='^(KERNEL32|USER32|ADVAPI32|SHLWAPI|OLE32|msvcrt)\.dll$'
imports=$(printf '%s\n' "$table" | sed -n 's/^\s*DLL Name: //p' | sort -u)
for dll_name in $imports; do
    if ! printf '%s\n' "$dll_name" | grep -qiE "$allowed"; then
        echo "imports a DLL that is not a Windows system DLL: $dll_name"
        status=1
    fi
done
if [ -z "$imports" ]; then
    echo "no import table found"
    status=1
fi

count=$(printf '%s\n' "$actual" | grep -c . || true)
echo "exports: $count; imports: $(echo $imports)"
exit $status
