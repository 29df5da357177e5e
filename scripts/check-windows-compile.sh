#!/usr/bin/env bash
# Compiles the platform code for Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64),
# so its Windows branches, which no Linux build compiles, stay valid C++17: the
# memory map under the page engine and the file layer of the store's save.
# Objects only, no link; warnings count as errors. Exits 0 with a note when the
# cross compiler is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX="${MINGW_CXX:-}"
if [ -z "$CXX" ]; then
    for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
        if command -v "$candidate" >/dev/null 2>&1; then CXX="$candidate"; break; fi
    done
fi
if [ -z "$CXX" ]; then
    echo "check-windows-compile: no MinGW-w64 compiler (apt-get install g++-mingw-w64-x86-64); skipped"
    exit 0
fi
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
for source in src/common/PlatformFiles.cpp src/sqlite_recovery/MappedFile.cpp; do
    "$CXX" -std=c++17 -Wall -Wextra -Werror -Isrc -c "$source" -o "$out/$(basename "$source" .cpp).o"
    echo "check-windows-compile: $source compiles for Windows"
done
