#!/usr/bin/env bash
# Reads the built DLL's export and import tables (objdump -p) and checks that
# it exports exactly the natives of expected_exports.txt under their
# decorated names, and imports Windows system DLLs only, and that it carries
# no link time and no build folder; reads its resources back as resource
# script (windres) and checks its version resource; checks that it is stripped
# and that its debug file reads a native's address back to a source line.
#   check_exports.sh OBJDUMP DLL ARCH(x86|x64) WINDRES VERSION(major.minor.patch) ADDR2LINE
set -euo pipefail
objdump=$1 dll=$2 arch=$3 windres=$4 version=$5 addr2line=$6
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
# (-Wl,--no-insert-timestamp), objcopy none into the PE headers of the stripped
# DLL and its debug file, and the compiler no path of the source or build folder.
pe_stamp() { od -An -tu4 -j$(($(od -An -tu4 -j60 -N4 "$1") + 8)) -N4 "$1" | tr -d ' '; }
header_stamp="$(pe_stamp "$dll") $(pe_stamp "$dll.debug")"
export_stamp=$(printf '%s\n' "$table" | sed -n 's/^Time\/Date stamp[[:space:]]*//p')
if [ "$header_stamp" != "0 0" ] || [ "$export_stamp" != 0 ]; then
    echo "the DLL carries a time: PE headers (DLL, debug file) $header_stamp, export table ${export_stamp:-none}"
    status=1
fi
for folder in "$(cd "$here/../.." && pwd)" "$(cd "$(dirname "$dll")/.." && pwd)"; do
    if named=$(grep -laF -- "$folder" "$dll" "$dll.debug"); then
        echo "$named names the folder $folder"
        status=1
    fi
done

# Stripped: the DLL holds no DWARF section, and an exported native's address (the
# image base plus its RVA, as in a crash report's zarnwin32.dll+0x...) reads back
# to its source line through the debug file that .gnu_debuglink names, which
# addr2line takes only when the file's CRC-32 is the one recorded there.
if "$objdump" -h "$dll" | grep -q ' \.debug_'; then
    echo "the DLL carries debug sections"
    status=1
fi
native=Java_com_zarn_kelda_dravik_common_win32_Registry_keyExists
index=$(printf '%s\n' "$table" | sed -n "s/^\s*\[\s*\([0-9]*\)\]\s*_\?$native\(@[0-9]*\)\?$/\1/p")
rva=$(printf '%s\n' "$table" | sed -n "s/^\s*\[\s*${index:-none}\] +base\[\s*[0-9]*\]\s*\([0-9a-f]*\) Export RVA$/\1/p")
base=$(printf '%s\n' "$table" | sed -n 's/^ImageBase\s*//p')
line=$("$addr2line" -e "$dll" "$(printf '%x' $((0x$base + 0x${rva:-0})))")
if ! [[ $line =~ ^\./registry/[a-z_]+\.cpp:[0-9]+$ ]]; then
    echo "the address of $native reads back to $line, not to its line in registry/"
    status=1
fi

count=$(printf '%s\n' "$actual" | grep -c . || true)
echo "exports: $count; imports: $(echo $imports); version resource: $version; $native at $line"
exit $status
