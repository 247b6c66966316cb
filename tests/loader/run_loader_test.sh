#!/usr/bin/env bash
# Builds the self-contained jar as scripts/build.sh does, from this tree's jar
# and both DLLs, and runs ZarnWin32Test against it on the host's JVM (x86-64).
#   run_loader_test.sh JAVAC JAVA TREE_JAR X86_DLL X64_DLL VERSION WORK_DIR
set -euo pipefail
javac=$1 java=$2 tree_jar=$3 x86_dll=$4 x64_dll=$5 version=$6 work=$7
here=$(dirname "$0")
for dll in "$x86_dll" "$x64_dll"; do
    [ -f "$dll" ] || { echo "FAIL: no $dll (build both trees first: scripts/compile.sh build)"; exit 1; }
done
rm -rf "$work"
mkdir -p "$work/classes"
"$here/../../scripts/jar.sh" "$tree_jar" "$x86_dll" "$x64_dll" "$work/zarnwin32.jar"
# The same jar with a Linux shared library in place of the 64-bit DLL: the loader hashes, copies
# and holds whatever bytes the jar carries, and the host's own System.load really loads these.
printf 'int zarnwin32_stand_in;\n' | cc -shared -fPIC -x c -o "$work/stand-in.so" -
"$here/../../scripts/jar.sh" "$tree_jar" "$x86_dll" "$work/stand-in.so" "$work/stand-in.jar"
"$javac" --release 8 -Xlint:all -Werror -encoding UTF-8 -cp "$work/zarnwin32.jar" -d "$work/classes" "$here/ZarnWin32Test.java"
"$java" -cp "$work/classes:$work/zarnwin32.jar" com.zarn.kelda.dravik.common.win32.ZarnWin32Test \
    "$work/zarnwin32.jar" "$x86_dll" "$x64_dll" "$version" "$work" "$work/stand-in.jar"
