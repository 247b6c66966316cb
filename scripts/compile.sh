#!/usr/bin/env bash
# Configures and builds the 32-bit (BUILD_DIR/x86) and the 64-bit (BUILD_DIR/x64)
# trees; with targets named, only those.
#   scripts/compile.sh BUILD_DIR [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
shift
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
for arch in x86 x64; do
    toolchain=cmake/mingw-i686.cmake
    [ "$arch" = x64 ] && toolchain=cmake/mingw-x86_64.cmake
    cmake -S . -B "$build/$arch" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
    cmake --build "$build/$arch" -j2 "${targets[@]}"
done
