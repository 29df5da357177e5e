#!/usr/bin/env bash
# Runs the desktop window under Xvfb on a generated backup with two messenger
# accounts, walks through its screens and saves them in docs/screenshots/; then
# scans a damaged database for the partial result (partial.png).
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

# A generated database with parts that cannot be read: a conversation table that is
# no contact's, a message whose time is text, a contact whose user name is a blob.
python3 tools/gen_messenger_db.py --out "$sample/damaged" --profile small --seed 7 >/dev/null
python3 - "$sample/damaged/MM.sqlite" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
chats = [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'Chat\_%' ESCAPE '\\' ORDER BY name")]
db.execute("CREATE TABLE Chat_abc (TableVer integer default 1, MesLocalID integer primary key autoincrement, "
           "MesSvrID integer default 0, CreateTime integer default 0, Message text, Status integer default 0, "
           "ImgStatus integer default 2, Type integer, Des integer)")
db.execute("INSERT INTO Chat_abc (Message) VALUES ('x')")
db.execute(f'UPDATE "{chats[0]}" SET CreateTime = \'yesterday\' WHERE MesLocalID = (SELECT max(MesLocalID) FROM "{chats[0]}")')
db.execute("UPDATE Friend SET UsrName = x'00ff' WHERE rowid = (SELECT max(rowid) FROM Friend)")
db.commit()
PY
QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu ASAN_OPTIONS=detect_leaks=0 \
  xvfb-run -a -s "-screen 0 1280x800x24" \
  "$BUILD_DIR/bin/wchat-recover-gui" --offline --data-dir "$sample/data-damaged" --scan-db "$sample/damaged/MM.sqlite" \
  --screenshot-result "$PWD/docs/screenshots/partial.png"
ls docs/screenshots
