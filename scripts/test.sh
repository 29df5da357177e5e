#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test;
# then the threaded tests under ThreadSanitizer and every fuzz target for a short run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR="${BUILD_DIR:-build-asan}"
# A compiler cache, when the machine has one, makes repeated runs quick; paths are
# taken relative to the checkout so any clone shares it.
LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
    LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DWCR_SANITIZE=ON -DWCR_BUILD_TESTS=ON "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
(
    cd "$BUILD_DIR"
    # Widgets without a display; the web view tests start their own Xvfb.
    export QT_QPA_PLATFORM=offscreen
    ctest --output-on-failure -j "$(nproc)"
)

# The Windows branches of the platform code, compiled with MinGW-w64 when it is installed.
bash scripts/check-windows-compile.sh

# ThreadSanitizer: a build of its own with only the programs whose tests start
# threads (the carving seek, the recovery pipeline and its store, the window's
# workers); only those tests run. WCR_SKIP_TSAN=1 leaves it out.
if [ "${WCR_SKIP_TSAN:-0}" != 1 ]; then
    TSAN_DIR="${TSAN_BUILD_DIR:-build-tsan}"
    cmake -S . -B "$TSAN_DIR" -DCMAKE_BUILD_TYPE=Debug -DWCR_TSAN=ON -DWCR_BUILD_TESTS=ON "${LAUNCHER[@]}" >/dev/null
    cmake --build "$TSAN_DIR" -j "$(nproc)" --target sqlite_recovery_tests wchat_tests gui_tests
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
    "$TSAN_DIR/tests/sqlite_recovery_tests" --gtest_brief=1 \
        --gtest_filter='SqliteDatabaseSeeker.*:SqliteBlockSeeker.*:SqliteCarve.*Thread*'
    "$TSAN_DIR/tests/wchat_tests" --gtest_brief=1 \
        --gtest_filter='RecoveredSmallFile.*:SeekerTest.*:TargetDbTest.*'
    # The window's tests: each runs the backup discovery or the SessionRunner's
    # worker (scans, the stop, a close during a scan, an export), offscreen and
    # without the web view. Qt is not built with ThreadSanitizer: the reports its
    # own synchronisation causes are suppressed by naming Qt's code only
    # (tests/tsan-qt.supp, which says why); ours stays checked.
    QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="$TSAN_OPTIONS suppressions=$PWD/tests/tsan-qt.supp" \
        "$TSAN_DIR/tests/gui_tests" --gtest_brief=1 --gtest_filter='MainWindowTest.*'
fi

# Every fuzz target for FUZZ_SECONDS (30) from its committed seeds. WCR_SKIP_FUZZ=1 leaves it out.
if [ "${WCR_SKIP_FUZZ:-0}" != 1 ]; then
    FUZZ_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"
    CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWCR_FUZZ=ON \
        -DWCR_BUILD_TESTS=OFF "${LAUNCHER[@]}" >/dev/null
    cmake --build "$FUZZ_DIR" -j "$(nproc)" --target fuzzers
    for target in fuzz_page_engine fuzz_schema fuzz_record_inspector fuzz_mbdb fuzz_plist fuzz_message_renderer; do
        FUZZ_BUILD_DIR="$FUZZ_DIR" bash scripts/fuzz.sh "$target" "${FUZZ_SECONDS:-30}" -close_fd_mask=3
    done
fi
