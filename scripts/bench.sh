#!/usr/bin/env bash
# The benchmark command: builds the 32-bit and the 64-bit library with the
# benchmark program (bench/), runs it for each under Wine, and writes the
# tables, the command and the machine to docs/PERFORMANCE.md.
#
#   scripts/bench.sh [--reps N] [--batch-ms MS] [--build DIR]
#
# N repetitions (default 11) of timed batches of about MS milliseconds
# (default 100) for every measurement; the whole run takes about five minutes.
# DIR (default build) holds the build directories x86 and x64 and the Wine prefix.
# The benchmark is not a test: nothing here passes or fails on a number.
set -euo pipefail
cd "$(dirname "$0")/.."

reps=11
batch_ms=100
build=build
while [ $# -gt 0 ]; do
    case "$1" in
        --reps) reps=$2; shift 2 ;;
        --batch-ms) batch_ms=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        *) echo "usage: scripts/bench.sh [--reps N] [--batch-ms MS] [--build DIR]" >&2; exit 2 ;;
    esac
done

scripts/setup.sh
started=$(date +%s)
scripts/compile.sh "$build" zarnwin32 bench smoke

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# Each architecture runs twice: once for every section but the concurrent
# pairs, once for those alone, so that a process that dies in one leaves the
# other's tables whole. The sections of one thread run with the benchmark, the
# wineserver and every other process of the run on one logical processor: on a
# virtual machine, a request to the wineserver that wakes a process on another
# processor takes from 0.1 to several milliseconds, a noise that swamps what is
# measured. The concurrent pairs run on every processor.
export BENCH_RESULTS=$results BENCH_REPS=$reps BENCH_BATCH_MS=$batch_ms BENCH_BUILD=$build
pin=$(( $(nproc) - 1 ))
for part in main pairs; do
    pinning=(taskset -c "$pin")
    [ "$part" = pairs ] && pinning=()
    BENCH_PART=$part "${pinning[@]}" xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        source scripts/winebed.sh
        winebed_prepare "$BENCH_BUILD"
        trap winebed_stop EXIT
        # IPersistFile::Save of a shell link starts winemenubuilder, a process of
        # its own, on every call: a cost of Wine'\''s desktop integration, not of
        # the calls measured, and one that would swamp them.
        export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
        wine "$BENCH_BUILD/x86/bin/smoke.exe" >/dev/null 2>&1 || true   # the first windows of a new prefix may fail
        for arch in x86 x64; do
            runner=wine
            [ "$arch" = x64 ] && runner=/usr/lib/wine/wine64
            part=$BENCH_PART
            sections=compare,modes,throughput,arrays,growth,buffers,allocations limit=600
            [ "$part" = pairs ] && sections=pairs limit=200
            echo "== $arch: $sections" >&2
            status=0
            timeout "$limit" $runner "$BENCH_BUILD/$arch/bin/bench.exe" --reps "$BENCH_REPS" --batch-ms "$BENCH_BATCH_MS" \
                --only "$sections" >"$BENCH_RESULTS/$arch-$part.md" 2>"$BENCH_RESULTS/$arch-$part.log" || status=$?
            echo "$status" >"$BENCH_RESULTS/$arch-$part.status"
            grep -v "^ " "$BENCH_RESULTS/$arch-$part.log" >&2 || true
        done
    '
done
finished=$(date +%s)

# ---- docs/PERFORMANCE.md
cpu=$(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2- | sed "s/^ *//")
cores=$(nproc)
memory=$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)
wine_version=$(/usr/lib/wine/wine64 --version 2>/dev/null || true)
qemu_version=$(/usr/local/lib/zarnwin32/qemu-i386 --version 2>/dev/null | head -1 || true)
compiler=$(i686-w64-mingw32-g++-posix --version | head -1)
commit=$(git rev-parse --short HEAD)
dirty=""
git diff --quiet HEAD -- binding registry pipe session desktop 2>/dev/null || dirty=" (with uncommitted changes in the library's folders)"
ia32="no: the kernel runs no 32-bit x86 code (IA-32 emulation off), so 32-bit Wine runs under qemu-i386 user emulation"
/usr/lib/wine/wine --version >/dev/null 2>&1 && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && ia32="yes"

emulation="Both libraries run natively: the kernel runs 32-bit x86 code, so 32-bit Wine
needs no emulator here."
x86_heading="## x86: the 32-bit library"
if [ "$ia32" != yes ]; then
    emulation="On this machine 32-bit code does not run natively: the 32-bit Wine loader, and
with it the x86 library and \`bench.exe\`, runs under qemu-i386 user emulation,
while the x64 library runs natively. The x86 times are therefore those of an
emulator and mean little as absolute numbers; what counts for x86 is the ratio
native/direct, both sides running under the same emulator in the same run. The
x64 tables show the same natives compiled for 64-bit Windows without emulation."
    x86_heading="## x86: the 32-bit library (under qemu-i386)"
fi

command="scripts/bench.sh --reps $reps --batch-ms $batch_ms"
[ "$build" = build ] || command+=" --build $build"

section() {  # the tables of one run, or what became of a run that did not finish
    local arch=$1 part=$2 file="$results/$1-$2.md"
    grep -v "^@" "$file" || true
    if ! grep -q "^@run" "$file"; then
        echo "**This run did not finish** (exit status $(cat "$results/$arch-$part.status")): the rows above are all it"
        echo "printed. Its last words on stderr:"
        echo
        echo '```'
        grep -v "^  " "$results/$arch-$part.log" | tail -5
        echo '```'
        echo
    fi
}

{
    cat <<EOF
# Performance

What the library's natives cost next to the Win32 calls they make, measured by
\`bench/\` under Wine. Generated by \`scripts/bench.sh\`; do not edit by hand.

## How it was measured

Command: \`$command\` (the defaults are \`--reps 11 --batch-ms 100\`).
It builds \`$build/x86\` and \`$build/x64\` (library and \`bench.exe\`), runs
\`bench.exe\` of each under Wine in the prefix \`$build/wineprefix\`, inside
\`xvfb-run\`, and writes this file. Run on $(date -u +"%Y-%m-%d %H:%M UTC"), library at commit $commit$dirty; the whole run took $((finished - started)) s.

| Machine | |
|---|---|
| CPU | $cpu |
| Logical processors | $cores |
| Memory | $memory |
| Kernel | $(uname -sr) |
| Runs 32-bit x86 code natively | $ia32 |
| 32-bit emulator | ${qemu_version:-none} |
| Wine | $wine_version (32-bit through \`wine\`, 64-bit through \`/usr/lib/wine/wine64\`) |
| Compiler | $compiler |
| Load average before the run (1, 5, 15 min) | $load_before |

Each native is called as a JVM calls it: through its exported name, with a
\`JNIEnv*\` of the test JNI environment (\`tests/testjni\`), the same one the
tests use. Its *direct* counterpart (\`bench/direct.cpp\`) makes the same Win32
calls in the same order with the same JNI acquisitions and builds the same
result object, so that the ratio native/direct shows the library's own cost.
*Win32 alone* makes only the Win32 calls, with plain C strings and buffers: the
difference to *direct* is what the JNI environment costs (the test
environment copies a byte array in \`GetByteArrayElements\` and back in
\`ReleaseByteArrayElements\`, as a JVM may).

A measurement is a batch of calls timed with the performance counter, its size
chosen so that a batch takes about $batch_ms ms; every measurement is repeated
$reps times, the sides of a comparison back to back in rotating order, and the
tables give the median with the lowest and highest value (min-max). A ratio is
taken repetition by repetition and then summarised the same way.

The sections of one thread (all but the concurrent pairs) ran with
\`bench.exe\`, the \`wineserver\` and every other process of the run on one
logical processor (\`taskset -c $pin\`): on this virtual machine a request to
the \`wineserver\` that wakes a process on another processor took from 0.1 to
several milliseconds at random, which swamped the differences measured; on one
processor the same round trip takes about 0.1 ms, steadily. The concurrent
pairs ran on every processor.

$emulation
Every call that reaches the registry or a pipe is a request to the
\`wineserver\` process, which sets the floor of those times under Wine.

EOF
    for arch in x86 x64; do
        if [ "$arch" = x86 ]; then
            echo "$x86_heading"
        else
            echo "## x64: the 64-bit library (native)"
        fi
        echo
        section "$arch" main
        section "$arch" pairs
    done

    echo "## Targets"
    echo
    echo "| Library | Target | Measured (median) | Met |"
    echo "|---|---|---|---|"
    cat "$results"/*.md | sed -n "s/^@target \(.*\)$/| \1 |/p"
    echo
    echo "Runs:"
    echo
    cat "$results"/*.md | sed -n "s/^@run \(.*\)$/- \1/p"
    echo
    cat bench/reading.md
} >docs/PERFORMANCE.md

echo "docs/PERFORMANCE.md written ($((finished - started)) s)"
