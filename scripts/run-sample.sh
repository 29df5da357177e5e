#!/usr/bin/env bash
# Builds the command-line tool, generates a synthetic iTunes backup with a messenger
# account (live and deleted messages), scans it and exports every conversation.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DWCR_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target wchat-recover

SAMPLE="$BUILD_DIR/sample"
rm -rf "$SAMPLE"
mkdir -p "$SAMPLE"
echo "Generating a synthetic backup in $SAMPLE/backup ..."
python3 tools/gen_backup.py --out "$SAMPLE/backup" --layout db --accounts 1 --profile small --seed 7 --message-media 3 >/dev/null

"$BUILD_DIR/bin/wchat-recover" accounts "$SAMPLE/backup"
"$BUILD_DIR/bin/wchat-recover" scan "$SAMPLE/backup" \
    --store "$SAMPLE/recovery.sqlite" --export "$SAMPLE/export"
echo
echo "Open any page of $SAMPLE/export/微信聊天记录恢复/ in a browser; deleted messages are marked 已删除."
