#!/usr/bin/env bash
# Exports a generated backup with the command line and photographs its index, a
# conversation page with a picture placeholder and a deleted message, and the scan
# report in headless Chromium (package chromium) into docs/screenshots/.
# BUILD_DIR picks the build tree (default: build). Times are shown for UTC+08:00.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake --build "$BUILD_DIR" -j1 --target wchat-recover
command -v chromium >/dev/null || { echo "chromium is not installed (apt-get install chromium)" >&2; exit 1; }

sample="$(mktemp -d)"
trap 'rm -rf "$sample"' EXIT
python3 tools/gen_backup.py --out "$sample/b" --accounts 1 --profile small --seed 7 >/dev/null
export TZ=CST-8
ASAN_OPTIONS=detect_leaks=0 "$BUILD_DIR/bin/wchat-recover" scan "$sample/b" --export "$sample/out" \
  --work "$sample/work" --quiet
site="$sample/out/微信聊天记录恢复"

shot() {  # file, window size, picture name
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size="$2" \
    --screenshot="$PWD/docs/screenshots/$3" "file://$site/$1" 2>/dev/null
}
mkdir -p docs/screenshots
shot index.html 1280,860 export-index.png
shot 阿罗.html 900,1000 export-page.png
shot report.html 1000,1500 export-report.png
ls -l docs/screenshots/export-*.png
