#!/usr/bin/env bash
# Runs one libFuzzer target for SECONDS on one core from its committed seeds:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# Builds the target first in build-fuzz (clang++, WCR_FUZZ=ON). New inputs go to
# build-fuzz/corpus/TARGET (not committed); crashes to build-fuzz/findings/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
    echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]" >&2
    exit 2
fi
TARGET="$1"; SECONDS_TO_RUN="$2"; shift 2
FUZZ_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"
if [ ! -f "$FUZZ_DIR/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWCR_FUZZ=ON \
        -DWCR_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$FUZZ_DIR" -j "${FUZZ_JOBS:-1}" --target "$TARGET" >/dev/null
mkdir -p "$FUZZ_DIR/corpus/$TARGET" "$FUZZ_DIR/findings/$TARGET"
export QT_QPA_PLATFORM=offscreen
exec "$FUZZ_DIR/tests/fuzz/$TARGET" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$FUZZ_DIR/findings/$TARGET/" -print_final_stats=1 "$@" \
    "$FUZZ_DIR/corpus/$TARGET" "tests/fuzz/corpus/$TARGET"
