#!/usr/bin/env bash
# Runs session_test.exe in the Wine prefix ($WINEPREFIX) under one setup, and
# puts the prefix back as it was afterwards.
#   run_session_test.sh SETUP LOADER SYSTEM_DIR BIN_DIR DOUBLE_DLL NOFREE_DLL GTEST_FILTER
# LOADER: the Wine loader of the test program's bitness (wine, or wine64);
# SYSTEM_DIR: the system directory of that bitness under C:\windows
# (syswow64 for 32-bit programs, system32 for 64-bit ones).
# SETUP:
#   double   the test double of wtsapi32.dll in that system directory
#   sysdir   the same, for the tests that replace GetSystemDirectoryA
#   nofree   a double without WTSFreeMemory
#   absent   no wtsapi32.dll at all (Wine's own disabled)
#   nt40, win95, win31, win2k, win7
#            Wine's own wtsapi32.dll; a copy of the test program named
#            session_SETUP.exe to which Wine reports that Windows version
set -euo pipefail
setup=$1 loader=$2 system_dir_name=$3 bin=$4 double=$5 nofree=$6 filter=$7
: "${WINEPREFIX:?run inside the Wine test bed}"

system_dir="$WINEPREFIX/drive_c/windows/$system_dir_name"
installed="$system_dir/wtsapi32.dll"
saved="$system_dir/wtsapi32.dll.zarn-saved"
exe=session_test.exe
overrides=${WINEDLLOVERRIDES:-}
app_key=
product_options='HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions'
saved_options=

restore() {
    # The tests put ProductOptions back themselves; this covers a test process that died.
    if [ -n "$saved_options" ]; then
        wine reg delete "$product_options" /f >/dev/null 2>&1 </dev/null || true
        if [ -s "$saved_options" ]; then wine reg import "$saved_options" >/dev/null 2>&1 </dev/null; fi
        rm -f "$saved_options"
    fi
    if [ -f "$saved" ]; then mv -f "$saved" "$installed"; fi
    if [ -n "$app_key" ]; then wine reg delete "$app_key" /f >/dev/null 2>&1 </dev/null || true; fi
    if [ "$exe" != session_test.exe ]; then rm -f "$bin/$exe"; fi
}
trap restore EXIT

install_double() {
    # A saved original left by an interrupted run is the one to keep.
    if [ ! -f "$saved" ]; then cp -p "$installed" "$saved"; fi
    cp "$1" "$installed"
    overrides="${overrides:+$overrides;}wtsapi32=n"
}

case $setup in
double | sysdir) install_double "$double" ;;
nofree) install_double "$nofree" ;;
absent) overrides="${overrides:+$overrides;}wtsapi32=" ;;
nt40 | win95 | win31 | win2k | win7)
    exe=session_$setup.exe
    cp "$bin/session_test.exe" "$bin/$exe"
    app_key="HKCU\\Software\\Wine\\AppDefaults\\$exe"
    wine reg add "$app_key" /v Version /d "$setup" /f >/dev/null 2>&1 </dev/null
    ;;
*) echo "unknown setup: $setup" >&2; exit 2 ;;
esac

if [ "$setup" != sysdir ] && [ "$setup" != nofree ] && [ "$setup" != absent ]; then
    saved_options=$(mktemp --suffix=.reg)
    wine reg export "$product_options" "$saved_options" /y >/dev/null 2>&1 </dev/null || : >"$saved_options"
fi

output=$(mktemp)
status=0
(cd "$bin" && ZARN_SESSION_SETUP=$setup WINEDLLOVERRIDES=$overrides "$loader" "$exe" --gtest_filter="$filter" \
    </dev/null >"$output" 2>&1) || status=$?
cat "$output"
# Every selected test belongs to this setup: none may skip, and some must run.
if grep -q '^\[  SKIPPED \]' "$output"; then echo "a test skipped under setup $setup"; status=1; fi
if ! grep -qE '^\[  PASSED  \] [1-9]' "$output"; then echo "no test passed under setup $setup"; status=1; fi
rm -f "$output"
exit $status
