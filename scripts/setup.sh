#!/usr/bin/env bash
# Installs, from Debian's packages, everything the build and the tests need:
# the MinGW-w64 cross compilers, CMake, Wine with 32-bit support, Xvfb,
# the GoogleTest sources, a JDK and Maven. Does nothing when all of it is present.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686 gcc-mingw-w64-i686)
have_cmd x86_64-w64-mingw32-g++ || need+=(g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64)
have_cmd cmake || need+=(cmake)
have_cmd make || need+=(make)
# The loader's test builds a Linux shared library to stand in for a DLL.
have_cmd cc || need+=(gcc)
have_pkg wine32:i386 || need+=(wine32:i386)
have_pkg wine64 || need+=(wine64)
have_cmd wine || need+=(wine)
have_cmd xvfb-run || need+=(xvfb)
have_cmd xauth || need+=(xauth)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# Debian's Maven and its install plugin: the test command installs dist/'s jars
# and POM with them, offline, into a throwaway repository (tests/dist).
have_pkg maven || need+=(maven)
have_pkg libmaven-install-plugin-java || need+=(libmaven-install-plugin-java)
{ have_cmd javac && have_cmd javadoc && [ -n "$(ls /usr/lib/jvm/*/include/jni.h 2>/dev/null)" ]; } \
    || need+=(default-jdk-headless)

# Where the kernel does not execute 32-bit x86 code, the 32-bit Wine loader
# runs under qemu-i386 user emulation (scripts/winebed.sh), with a shim built
# by gcc -m32. The qemu-i386 of Debian 12 (7.2) crashes Wine processes whose
# threads run at the same time; the one of Debian 13 (10.0, statically linked)
# does not, so that binary is taken from Debian 13's qemu-user package and kept
# apart from the system's packages.
qemu=/usr/local/lib/zarnwin32/qemu-i386
fetch_qemu=""
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] || { [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
    [ -x "$qemu" ] || fetch_qemu=1
    have_pkg gcc-multilib || need+=(gcc-multilib)
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

# apt-get update fails as a whole when one index cannot be read (a mirror in
# the middle of a sync); the indexes it did read are still used.
update() { $SUDO apt-get update -qq || echo "setup: some package indexes could not be read; going on with the rest" >&2; }

if [ -n "$fetch_qemu" ]; then
    echo "setup: fetching qemu-i386 from Debian 13's qemu-user package"
    # Debian 13 is read from the mirror that the machine's own Debian source names.
    update
    mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Identifier: Packages' | head -n 1)
    if [ -z "$mirror" ]; then
        echo "setup: no Debian package source is configured on this machine" >&2
        exit 1
    fi
    list=/etc/apt/sources.list.d/zarnwin32-trixie.list
    work=$(mktemp -d)
    chmod 755 "$work"   # apt-get download writes as the _apt user
    trap '$SUDO rm -f "$list"; rm -rf "$work"' EXIT
    echo "deb $mirror trixie main" | $SUDO tee "$list" >/dev/null
    update
    (cd "$work" && apt-get download -qq qemu-user/trixie >/dev/null)
    $SUDO rm -f "$list"
    update
    dpkg-deb -x "$work"/qemu-user_*.deb "$work/root"
    $SUDO install -D -m 755 "$work/root/usr/bin/qemu-i386" "$qemu"
    rm -rf "$work"
    trap - EXIT
fi

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi

echo "setup: installing ${need[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
update
install_needed() { $SUDO apt-get install -y -qq --no-install-recommends "$@" "${need[@]}" >/dev/null; }
if ! install_needed; then
    # The i386 packages must have the very versions of their amd64 twins. When
    # one architecture's index of the security or updates suite could not be
    # read, the two disagree; the release's own suite has both at one version.
    . /etc/os-release
    echo "setup: installing again from $VERSION_CODENAME alone" >&2
    install_needed -t "$VERSION_CODENAME"
fi

# With wine32 just installed, its loader may need qemu-i386 as well: look once more.
if [ -z "${ZARN_SETUP_AGAIN:-}" ]; then
    ZARN_SETUP_AGAIN=1 exec "$0"
fi
