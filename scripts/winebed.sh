# Sourced by build.sh and test.sh: makes Wine ready to run the 32-bit and
# 64-bit test programs in a throwaway prefix, with one wineserver for the run.
#
#   winebed_prepare BUILD_DIR [GLOBALFLAG]
#                               32-bit execution, prefix BUILD_DIR/wineprefix;
#                               heap checking by GLOBALFLAG (none without it)
#   winebed_stop                ends the wineserver

# Some kernels do not execute 32-bit x86 code (IA-32 emulation off). There the
# 32-bit Wine loader runs under qemu-i386 user emulation, registered with
# binfmt_misc, with a small preloaded shim that spares Wine a minute of
# address-space probing at each start (see tests/winebed/mmapshim.c).
winebed_enable_32bit() {
    local build=$1
    # Once registered, qemu-i386 runs every 32-bit program: the shim is needed then.
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
        return 0
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    # qemu-i386 from scripts/setup.sh, in place of any other registered for i386 programs.
    local qemu=/usr/local/lib/zarnwin32/qemu-i386
    if ! grep -qx "interpreter $qemu" /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
        [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
        printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
            > /proc/sys/fs/binfmt_misc/register
    fi
    mkdir -p "$build/winebed"
    local shim="$build/winebed/libmmapshim.so"
    local source
    source="$(dirname "${BASH_SOURCE[0]}")/../tests/winebed/mmapshim.c"
    if [ ! -f "$shim" ] || [ "$source" -nt "$shim" ]; then
        gcc -m32 -O2 -shared -fPIC -o "$shim" "$source" -ldl
    fi
    export QEMU_SET_ENV="LD_PRELOAD=$(realpath "$shim")"
    /usr/lib/wine/wine --version >/dev/null
}

winebed_prepare() {
    local build global_flag=${2:-}
    build=$(realpath "$1")
    winebed_enable_32bit "$build"
    export WINEPREFIX="$build/wineprefix"
    # Silent but for the heap errors that heap checking finds.
    export WINEDEBUG=-all,err+heap
    # No Gecko or Mono installers; no debugger started on a crash (it would wait
    # forever for a user); no menu entries made for the shortcuts that tests save.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe,winemenubuilder.exe=d"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
    # One wineserver for the whole run. It and the services that the first Wine
    # process starts (services.exe, winedevice.exe, explorer.exe) live on after
    # it and keep whatever output they inherit open: start them with none, or a
    # caller that reads a test's output to its end (a pipe, CTest) waits forever.
    wineserver -p >/dev/null 2>&1 </dev/null
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    # Windows reads the GlobalFlag value when a process starts: its heap flags
    # make every heap block carry a filled tail and every freed block a fill
    # pattern, which HeapValidate checks (see tests/testjni/natives.cpp).
    local key='HKLM\System\CurrentControlSet\Control\Session Manager'
    if [ -n "$global_flag" ]; then
        wine reg add "$key" /v GlobalFlag /t REG_DWORD /d "$global_flag" /f >/dev/null 2>&1 </dev/null
    else
        wine reg delete "$key" /v GlobalFlag /f >/dev/null 2>&1 </dev/null || true
    fi
}

winebed_stop() {
    wineserver -k >/dev/null 2>&1 || true
}
