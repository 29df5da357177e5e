#!/usr/bin/env python3
"""Writes the small committed seed corpora of the fuzz targets (tests/fuzz/corpus).

Seeds come from this script's own small inputs and a few of the smallest files of
the shared SQLite forensic corpus. Run again only to refresh them.
"""
import os
import plistlib
import shutil
import sqlite3
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")
SHARED = os.path.join(HERE, "..", "..", "..", "shared", "corpus", "sqlite-forensic-corpus-v1.0")
CHAT = ("CREATE TABLE Chat_0123456789abcdef0123456789abcdef(TableVer integer default 1, MesLocalID integer "
        "primary key autoincrement, MesSvrID integer default 0, CreateTime integer default 0, Message text, "
        "Status integer default 0, ImgStatus integer default 2, Type integer, Des integer)")


def put(target, name, data):
    os.makedirs(os.path.join(OUT, target), exist_ok=True)
    with open(os.path.join(OUT, target, name), "wb") as f:
        f.write(data)


def small_db(page_size, deleted):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "s.db")
        db = sqlite3.connect(path)
        db.execute("PRAGMA page_size = %d" % page_size)
        db.execute("PRAGMA secure_delete = OFF")
        db.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, s TEXT, b BLOB, r REAL)")
        db.execute(CHAT)
        for i in range(40):
            db.execute("INSERT INTO t(n, s, b, r) VALUES (?, ?, ?, ?)", (i * 1000003, "text %d" % i, bytes([i]) * 5, i / 3))
            db.execute("INSERT INTO Chat_0123456789abcdef0123456789abcdef(MesSvrID, CreateTime, Message, Type, Des) "
                       "VALUES (?, ?, ?, 1, ?)", (i, 1500000000 + i, "message %d" % i, i % 2))
        db.commit()
        if deleted:
            db.execute("DELETE FROM t WHERE id % 3 = 0")
            db.commit()
        db.close()
        with open(path, "rb") as f:
            return f.read()


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    # Page engine: generated files and the smallest files of the shared corpus.
    put("fuzz_page_engine", "live.db", small_db(512, False))
    put("fuzz_page_engine", "deleted.db", small_db(1024, True))
    picked = []
    for root, _, files in os.walk(SHARED):
        for name in files:
            path = os.path.join(root, name)
            if name.endswith(".db") and os.path.getsize(path) <= 8192:
                picked.append(path)
    for path in sorted(picked)[:6]:
        with open(path, "rb") as f:
            put("fuzz_page_engine", "shared-" + os.path.basename(path), f.read())
    # Record inspector: a table selector byte, then one page.
    page = small_db(512, True)[512:1024]
    for which in range(3):
        put("fuzz_record_inspector", "page%d" % which, bytes([which]) + page)
    # Schema parser.
    for i, sql in enumerate([
            CHAT,
            "CREATE TABLE t(a, b TEXT CHECK (length(b) > 0), c INTEGER NOT NULL DEFAULT 0, UNIQUE (a, b)) STRICT",
            "CREATE TABLE \"q\"\"t\"(x INTEGER PRIMARY KEY, y VARYING CHARACTER(20) COLLATE NOCASE) WITHOUT ROWID",
            "CREATE TEMP TABLE IF NOT EXISTS main.t(a /* c */, b GENERATED ALWAYS AS (a + 1) VIRTUAL)",
            "CREATE VIRTUAL TABLE v USING fts4(content)"]):
        put("fuzz_schema", "s%d.sql" % i, sql.encode())
    # Manifest.mbdb: header, then records of domain, path, link, hash, key, 40 fixed bytes, properties.
    def s(text):
        return struct.pack(">H", len(text)) + text if text else b"\xff\xff"
    record = (s(b"AppDomain-com.tencent.xin") + s(b"Documents/0123456789abcdef0123456789abcdef/DB/MM.sqlite") +
              s(b"") + s(b"\x01" * 20) + s(b"") + bytes(range(40))[:39] + b"\x01" +
              s(b"name") + s(b"value"))
    put("fuzz_mbdb", "two.mbdb", b"mbdb\x05\x00" + record + record.replace(b"MM.sqlite", b"xx.sqlite"))
    # Property lists, XML and binary.
    info = {"Device Name": "phone", "Last Backup Date": __import__("datetime").datetime(2020, 1, 2),
            "Serial Number": "X1", "Product Version": "13.1", "IsEncrypted": False}
    put("fuzz_plist", "info.xml", plistlib.dumps(info, fmt=plistlib.FMT_XML))
    put("fuzz_plist", "info.bin", plistlib.dumps(info, fmt=plistlib.FMT_BINARY))
    settings = {"$archiver": "NSKeyedArchiver", "$version": 100000,
                "$objects": ["$null", {"UsrName": "wxid_owner", "NickName": "Owner"}, [1, 2, [3, {"a": b"\x00"}]]],
                "$top": {"root": 1}}
    put("fuzz_plist", "settings.bin", plistlib.dumps(settings, fmt=plistlib.FMT_BINARY))
    put("fuzz_plist", "settings.xml", plistlib.dumps(settings, fmt=plistlib.FMT_XML))
    # Message renderer: an index into the target's list of types, flags, then a message with marker markup where the renderer reads.
    marked = "<fzx fzattr=\"1\">x</fzx>"
    messages = [
        (0, "hello " + marked),
        (1, "<msg><img src=\"javascript:alert(1)\" fzattr=\"2\" length=\"1\" cdnthumburl=\"" + marked + "\"/></msg>"),
        (2, "<msg><voicemsg endflag=\"1\" length=\"2\" voicelength=\"3000\" fzattr=\"x\"/></msg>"),
        (3, "<msg username=\"u" + marked + "\" nickname=\"<fzx>\" smallheadimgurl=\"javascript:x\"/>"),
        (7, "<msg><appmsg><title>" + marked + "</title><des>&lt;fzx fzattr=1&gt;</des><type>5</type>"
            "<url>javascript:alert(1)</url></appmsg></msg>"),
        (7, "<msg><appmsg><title>t</title><type>6</type><appattach><fileext>" + marked + "</fileext></appattach></appmsg></msg>"),
        (6, "<msg><location x=\"1\" y=\"2\" label=\"" + marked + "\" poiname=\"<script>\"/></msg>"),
        (10, "<sysmsg><fzx fzattr=\"1\">revoked</fzx></sysmsg>"),
    ]
    for i, (kind, text) in enumerate(messages):
        put("fuzz_message_renderer", "m%d" % i, bytes([kind, 1]) + text.encode())


if __name__ == "__main__":
    sys.exit(main())
