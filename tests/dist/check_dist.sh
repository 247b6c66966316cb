#!/usr/bin/env bash
# Runs scripts/dist.sh twice over the same two build trees, a second apart, in
# two folders and two time zones: every file must come out the same, byte for
# byte, and SHA256SUMS must list and match each; the DLLs' debug files are among
# them, and neither a jar nor dist/ holds a DLL with debug sections. Then Debian's
# Maven, offline, with the plugins of Debian's packages, installs the jars and
# the POM into a throwaway local repository, as the README shows.
#   check_dist.sh BUILD_DIR WORK_DIR     (BUILD_DIR holds x86/ and x64/)
set -euo pipefail
build=$1 work=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"

"$root/scripts/dist.sh" "$build" "$work/first"
sleep 1
TZ=Asia/Tokyo "$root/scripts/dist.sh" "$build" "$work/second"
diff -r "$work/first" "$work/second" || fail "two runs of scripts/dist.sh gave different files"
(cd "$work/first" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
listed=$(cut -c67- "$work/first/SHA256SUMS")
present=$(cd "$work/first" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort)
[ "$listed" = "$present" ] || fail "SHA256SUMS lists $(echo $listed), dist has $(echo $present)"
echo "dist: $(echo $present) the same twice, in SHA256SUMS"
# The debug files ship beside the DLLs only. A debug section's name stands as text
# in a DLL: in the section header, or in the string table when longer than the
# header's eight characters, as .debug_info and its kin are.
for arch in x86 x64; do grep -qxF $arch/zarnwin32.dll.debug <<<"$listed" || fail "dist has no $arch/zarnwin32.dll.debug"; done
mkdir "$work/jars" && (cd "$work/jars" && for jar in ../first/*.jar; do jar xf "$jar"; done)
! find "$work/jars" -name '*.debug' | grep . || fail "a jar holds a debug file"
! grep -la '\.debug_' $(find "$work/first" "$work/jars" -name '*.dll') || fail "DLLs with debug sections"

version=$(cat "$build/x86/java-resources/com/zarn/kelda/dravik/common/win32/zarnwin32.version")
plugins=/usr/share/maven-repo/org/apache/maven/plugins/maven-install-plugin
plugin=$(ls "$plugins"/*/maven-install-plugin-*.jar 2>/dev/null | sort -V | tail -n 1)
[ -n "$plugin" ] && command -v mvn >/dev/null || fail "no Maven or no maven-install-plugin in $plugins (scripts/setup.sh installs them)"
# A copy of Debian's repository made of links: Maven finds its plugins there and
# writes the new artifact into the copy only.
cp -rs /usr/share/maven-repo "$work/repository"
d="$work/first/zarnwin32-$version"
mvn -o -q -Dmaven.repo.local="$work/repository" \
    "org.apache.maven.plugins:maven-install-plugin:$(basename "$(dirname "$plugin")"):install-file" \
    -Dfile="$d.jar" -DpomFile="$d.pom" -Dsources="$d-sources.jar" -Djavadoc="$d-javadoc.jar" \
    || fail "mvn install:install-file failed"
installed="$work/repository/com/zarn/kelda/dravik/zarnwin32/$version/zarnwin32-$version"
for suffix in .jar -sources.jar -javadoc.jar .pom; do
    cmp "$d$suffix" "$installed$suffix" || fail "Maven did not install zarnwin32-$version$suffix"
done
echo "maven: com.zarn.kelda.dravik:zarnwin32:$version installed offline"
