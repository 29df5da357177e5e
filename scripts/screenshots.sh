#!/usr/bin/env bash
# Runs the desktop window under Xvfb on a generated backup with two messenger
# accounts, walks through its screens and saves them in docs/screenshots/.
# BUILD_DIR picks the build tree (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target wchat-recover-gui

# An AppData-style root: "$AppData/Apple Computer/MobileSync/Backup/<udid>".
sample="$(mktemp -d)"
trap 'rm -rf "$sample"' EXIT
root="$sample/AppData/Apple Computer/MobileSync/Backup"
mkdir -p "$root"
udid="$(python3 tools/gen_backup.py --out "$sample/backup" --accounts 2 --profile small --seed 7 --target-mb 24 \
          --device-name "演示 iPhone" | python3 -c 'import json,sys; print(json.load(sys.stdin)["udid"])')"
mv "$sample/backup" "$root/$udid"

mkdir -p docs/screenshots
# The web engine runs only on a display; as root its sandbox cannot start.
AppData="$sample/AppData" QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu \
ASAN_OPTIONS=detect_leaks=0 \
  xvfb-run -a -s "-screen 0 1280x800x24" \
  "$BUILD_DIR/bin/wchat-recover-gui" --offline --data-dir "$sample/data" --screenshot-tour "$PWD/docs/screenshots"
ls docs/screenshots
