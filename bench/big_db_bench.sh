#!/usr/bin/env bash
# Big databases, end to end: generates messenger databases of 200 MB and 2 GB (the
# generator's --target-mb), then times SQLite's own .recover and
# `wchat-recover scan --db` on the same files, side by side with the peak memory of
# each (/usr/bin/time -v), and prints the ratios. Then a database in WAL mode:
# how many of the messages only its log holds are stored live, and how many rows
# deleted while only in the log are recovered from its frames. The last column is
# the floor under the scan's live copy (live_copy_floor below).
#
# usage: bench/big_db_bench.sh [BUILD_DIR] [SIZE_MB...]   (default build-rel, 200 2048)
# Generated databases and SQLite's shell (built by ../shared/anchors/
# build-sqlite-recover.sh, with the DBPAGE table .recover needs) are kept in
# $WCR_BENCH_CACHE (default ~/.cache/wchat-recover-bench), outside the repository.
# Build first: cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release &&
#              cmake --build build-rel -j1 --target wchat-recover
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build-rel}")
shift $(( $# > 0 ? 1 : 0 ))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(200 2048)
cache=${WCR_BENCH_CACHE:-$HOME/.cache/wchat-recover-bench}
threads=${WCR_BENCH_THREADS:-2}
mkdir -p "$cache"
tool="$build/bin/wchat-recover"
[ -x "$tool" ] || { echo "missing $tool: build wchat-recover in $build first" >&2; exit 1; }
shell="$cache/sqlite3-recover"
if [ ! -x "$shell" ]; then
    bash "$repo/../shared/anchors/build-sqlite-recover.sh" "$shell" >/dev/null
fi
work=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$work"' EXIT

# seconds and peak MB of a /usr/bin/time -v report
measure() {
    python3 - "$1" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", text).group(1)
secs = 0.0
for part in wall.split(":"):
    secs = secs * 60 + float(part)
rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
print("%.1f %.0f" % (secs, rss / 1024))
PY
}

generate() {  # dir, extra generator options...
    local dir=$1
    shift
    if [ ! -f "$dir/MM.sqlite" ] || [ ! -f "$dir/truth.json" ]; then
        rm -rf "$dir"
        python3 "$repo/tools/gen_messenger_db.py" --out "$dir" --profile large --seed 1 "$@" >/dev/null
    fi
}

# What the store's own inserts cost at the least: SQLite's INSERT ... SELECT of every
# live message into WC_Chat and of one conversation link and one sender link per
# message into WC_Chatroom and WC_ChatFriend, with the store's table definitions and
# settings, in one connection. The scan copies the same rows (and more work per
# row), so this is a floor under its live copy alone.
live_copy_floor() {  # db, store
    python3 - "$1" "$repo/src/wchat/RecoveryStore.cpp" >"$work/floor.sql" <<'PY'
import re, sqlite3, sys
src = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True)
code = open(sys.argv[2]).read()
def table(name):  # the store's own statement, as the code spells it
    text = re.search(r'"(create table %s \(.*?\);)",' % name, code, re.S).group(1)
    return re.sub(r'"\s*"', "", text)
print("PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY; PRAGMA temp_store = MEMORY; PRAGMA page_size = 4096;")
for name in ("WC_Friend", "WC_Chat", "WC_Chatroom", "WC_ChatFriend"):
    print(table(name))
print("ATTACH 'file:%s?mode=ro' AS src; BEGIN;" % sys.argv[1])
first = 1
tables = [r[0] for r in src.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'Chat\\_%' ESCAPE '\\'")]
for k, name in enumerate(tables, 1):
    count = src.execute('SELECT count(*) FROM "%s"' % name).fetchone()[0]
    print('INSERT INTO WC_Chat (validFlag, obtainWay, tableVer, mesLocalId, mesSvrId, createTime, message, status, '
          'imgStatus, type, des) SELECT 1, 1, TableVer, MesLocalID, MesSvrID, CreateTime, Message, Status, ImgStatus, '
          'Type, Des FROM src."%s" ORDER BY MesLocalID;' % name)
    for link, deduce in (("WC_Chatroom", 1), ("WC_ChatFriend", 13)):
        print("INSERT INTO %s SELECT %d, rcChatId, %d, 1.0 FROM WC_Chat WHERE rcChatId BETWEEN %d AND %d;"
              % (link, k, deduce, first, first + count - 1))
    first += count
print("COMMIT;")
PY
    rm -f "$2"
    /usr/bin/time -v -o "$work/floor.time" "$shell" "$2" <"$work/floor.sql" >/dev/null
    rm -f "$2"
    measure "$work/floor.time" | cut -d' ' -f1
}

rows=()
for mb in "${sizes[@]}"; do
    dir="$cache/db-$mb"
    generate "$dir" --target-mb "$mb"
    db="$dir/MM.sqlite"
    bytes=$(stat -c %s "$db")
    # .recover writes the recovered database as SQL text; it goes nowhere here.
    /usr/bin/time -v -o "$work/recover.time" "$shell" -readonly "$db" .recover >/dev/null 2>"$work/recover.err"
    read -r rs rm_ < <(measure "$work/recover.time")
    rm -rf "$work/scan"
    /usr/bin/time -v -o "$work/scan.time" "$tool" scan --db "$db" --work "$work/scan" --threads "$threads" \
        --json >"$work/scan.json" 2>"$work/scan.err" || { cat "$work/scan.err" >&2; exit 1; }
    read -r ws wm < <(measure "$work/scan.time")
    rm -rf "$work/scan"
    fs=$(live_copy_floor "$db" "$work/floor.db")
    rows+=("$(python3 -c "import sys; b,ws,wm,rs,rm,fs=map(float,sys.argv[1:]); print('| %.0f MB | %.1f s | %.0f MB | %.1f s | %.0f MB | %.2f | %.2f | %.1f s |' % (b/1048576, ws, wm, rs, rm, ws/rs, wm/rm, fs))" "$bytes" "$ws" "$wm" "$rs" "$rm_" "$fs")")
done

echo "| database | wchat-recover scan --db | peak memory | SQLite .recover | peak memory | time ratio | memory ratio | live-copy floor |"
echo "|---|---|---|---|---|---|---|---|"
for row in "${rows[@]}"; do echo "$row"; done

# The WAL case: counts from the store against the generator's ground truth.
waldir="$cache/db-wal-small"
if [ ! -f "$waldir/MM.sqlite-wal" ]; then
    rm -rf "$waldir"
    python3 "$repo/tools/gen_messenger_db.py" --out "$waldir" --profile small --seed 7 --wal >/dev/null
fi
rm -rf "$work/wal"
"$tool" scan --db "$waldir/MM.sqlite" --work "$work/wal" --store "$work/wal.store" --threads "$threads" --quiet
python3 - "$waldir/truth.json" "$work/wal.store" <<'PY'
import json, sqlite3, sys
truth = json.load(open(sys.argv[1]))
db = sqlite3.connect("file:%s?mode=ro" % sys.argv[2], uri=True)
stored = {}
for svr, t, msg, way, frame in db.execute("SELECT mesSvrId, createTime, message, obtainWay, walFrame FROM WC_Chat"):
    stored.setdefault((svr, t, msg), []).append((way, frame))
live = [m for m in truth["messages"] if m.get("wal") and not m["deleted"]]
gone = [m for m in truth["messages"] if m.get("wal") and m["deleted"]]
key = lambda m: (m["mesSvrId"], m["createTime"], m["message"])
live_ok = sum(1 for m in live if any(w == 1 for w, _ in stored.get(key(m), [])))
gone_ok = sum(1 for m in gone if any(w == 2 and (f or 0) > 0 for w, f in stored.get(key(m), [])))
print()
print("WAL mode (small profile, seed 7): %d of %d messages only the log holds stored live; "
      "%d of %d rows deleted while only in the log recovered from its frames" % (live_ok, len(live), gone_ok, len(gone)))
PY
