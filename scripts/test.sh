#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR="${BUILD_DIR:-build-asan}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DWCR_SANITIZE=ON -DWCR_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
cd "$BUILD_DIR"
# Widgets without a display; the web view tests start their own Xvfb.
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j "$(nproc)"
