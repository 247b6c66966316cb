#!/usr/bin/env bash
# Reads the built DLL's export and import tables (objdump -p) and checks that
# it exports exactly the natives of expected_exports.txt under their
# decorated names, and imports Windows system DLLs only, and that it carries
# no link time and no build folder; reads its resources back as resource
# script (windres) and checks its version resource.
#   check_exports.sh OBJDUMP DLL ARCH(x86|x64) WINDRES VERSION(major.minor.patch)
set -euo pipefail
objdump=$1 dll=$2 arch=$3 windres=$4 version=$5
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

# The version resource: windres fails on a DLL without resources, and prints
# no VERSIONINFO for one without a version resource. Lines compared unindented.
if ! resources=$("$windres" -J coff -i "$dll" -O rc 2>&1 | sed 's/^[[:space:]]*//'); then
    echo "no resources: $resources"
    status=1
fi
IFS=. read -r major minor patch <<<"$version"
for line in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" "FILETYPE 0x2" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
        "VALUE \"OriginalFilename\", \"zarnwin32.dll\"" "VALUE \"ProductName\", \"zarnwin32\"" "VALUE \"FileDescription\", \"zarnwin32 JNI library ($arch)\""; do
    if ! printf '%s\n' "$resources" | grep -qxF -- "$line"; then
        echo "the version resource lacks: $line"
        status=1
    fi
done

# Reproducible: the linker writes no time into the PE header (TimeDateStamp, 8
# bytes into the header whose offset stands at 0x3c) nor into the export table
# (-Wl,--no-insert-timestamp), and the compiler no path of the source or build folder.
pe=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
header_stamp=$(od -An -tu4 -j$((pe + 8)) -N4 "$dll" | tr -d ' ')
export_stamp=$(printf '%s\n' "$table" | sed -n 's/^Time\/Date stamp[[:space:]]*//p')
if [ "$header_stamp" != 0 ] || [ "$export_stamp" != 0 ]; then
    echo "the DLL carries a link time: PE header $header_stamp, export table ${export_stamp:-none}"
    status=1
fi
for folder in "$(cd "$here/../.." && pwd)" "$(cd "$(dirname "$dll")/.." && pwd)"; do
    if grep -qaF -- "$folder" "$dll"; then
        echo "the DLL names the folder $folder"
        status=1
    fi
done

count=$(printf '%s\n' "$actual" | grep -c . || true)
echo "exports: $count; imports: $(echo $imports); version resource: $version"
exit $status
