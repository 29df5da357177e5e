#!/usr/bin/env python3
"""The export's machine-readable files and scan report, read back with Python's own
csv, json and hashlib: a generated database (the generator's hostile profile when
it has one, else its tiny profile with hostile texts added as live messages) is
scanned and exported with wchat-recover; every text must come back exactly, both
message files must agree row by row, the report's digests must be those of the
scanned file and of the working copy, and --utc must write UTC.

usage: test_export_files.py WCHAT_RECOVER TOOLS_DIR
"""
import csv
import datetime
import hashlib
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from collections import Counter

BINARY, TOOLS = sys.argv[1:3] if len(sys.argv) >= 3 else (None, None)

HOSTILE_TEXTS = [
    "comma, inside",
    "\"quoted\" and \"\"doubled\"\"",
    "line\nbreak",
    "windows\r\nbreak",
    "bare\rreturn",
    ",\",\r\n,\"",
    " spaces around ",
    "=HYPERLINK(\"http://x\")",
    "tab\there",
    "emoji 🧧👨‍👩‍👧 汉字，全角逗号",
    "\u202eoverride\u202c \u200fmark",
    "<script>alert(1)</script>&amp;",
]


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def read_csv(path):
    with open(path, encoding="utf-8-sig", newline="") as f:
        return list(csv.reader(f, strict=True))


def read_jsonl(path):
    with open(path, encoding="utf-8", newline="") as f:
        return [json.loads(line) for line in f.read().split("\n") if line]


class ExportFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = cls.tmp.name
        sys.path.insert(0, TOOLS)
        import gen_messenger_db
        profile = "hostile" if "hostile" in gen_messenger_db.PROFILES else "tiny"
        gen = os.path.join(root, "gen")
        subprocess.run([sys.executable, os.path.join(TOOLS, "gen_messenger_db.py"), "--out", gen,
                        "--profile", profile, "--seed", "5"], check=True, capture_output=True)
        cls.db = os.path.join(gen, "MM.sqlite")
        with open(os.path.join(gen, "truth.json"), encoding="utf-8") as f:
            truth = json.load(f)
        cls.added = []
        if profile != "hostile":
            conv = next(c for c in truth["conversations"] if c["kind"] == "friend" and not c["dropped"])
            con = sqlite3.connect(cls.db)
            for i, text in enumerate(HOSTILE_TEXTS):
                con.execute("INSERT INTO %s (MesSvrID, CreateTime, Message, Status, Type, Des) "
                            "VALUES (?, ?, ?, 2, 1, 1)" % conv["table"], (900000 + i, 1500000000 + i, text))
            con.commit()
            con.close()
            cls.added = list(HOSTILE_TEXTS)
        dropped = {c["table"] for c in truth["conversations"] if c["dropped"]}
        cls.live_texts = [m["message"] for m in truth["messages"]
                          if not m["deleted"] and m["table"] not in dropped] + cls.added

        cls.source_sha = sha256(cls.db)
        cls.work = os.path.join(root, "work")
        cls.store = os.path.join(root, "store.sqlite")
        env = dict(os.environ, TZ="CST-8")
        run = subprocess.run([BINARY, "scan", "--db", cls.db, "--work", cls.work, "--store", cls.store,
                              "--export", os.path.join(root, "local"), "--json", "--quiet"],
                             capture_output=True, env=env, timeout=600)
        assert run.returncode == 0, run.stderr.decode()
        cls.summary = json.loads(run.stdout)
        cls.local = os.path.join(root, "local", "微信聊天记录恢复")
        run = subprocess.run([BINARY, "export", cls.store, "--export", os.path.join(root, "utc"), "--utc",
                              "--json", "--quiet"], capture_output=True, env=env, timeout=600)
        assert run.returncode == 0, run.stderr.decode()
        cls.utc = os.path.join(root, "utc", "微信聊天记录恢复")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_text_comes_back_and_both_files_agree(self):
        rows = read_csv(os.path.join(self.local, "messages.csv"))
        records = read_jsonl(os.path.join(self.local, "messages.jsonl"))
        header, rows = rows[0], rows[1:]
        self.assertEqual(len(rows), len(records))
        self.assertGreater(len(rows), 0)
        for row, record in zip(rows, records):
            self.assertEqual(sorted(header), sorted(record.keys()))
            for name, value in zip(header, row):
                other = record[name]
                if isinstance(other, float):
                    self.assertAlmostEqual(float(value), other, places=5)
                else:
                    self.assertEqual(value, "" if other is None else str(other), name)
        texts = Counter(row[header.index("text")] for row in rows)
        missing = Counter(self.live_texts) - texts
        self.assertEqual(Counter(), missing, "live texts not in messages.csv")
        for text in self.added:
            self.assertIn(text, texts)
        contacts = read_csv(os.path.join(self.local, "contacts.csv"))
        self.assertEqual("rc_friend_id", contacts[0][0])
        self.assertGreater(len(contacts), 1)

    def test_times_are_utc_with_the_offset_and_pages_say_so(self):
        for directory, offset, zone in ((self.local, 8, "时间为 UTC+08:00"), (self.utc, 0, "时间为 UTC<")):
            records = read_jsonl(os.path.join(directory, "messages.jsonl"))
            for record in records:
                utc = datetime.datetime.strptime(record["time_utc"], "%Y-%m-%dT%H:%M:%SZ")
                shown = (utc + datetime.timedelta(hours=offset)).strftime("%Y-%m-%d %H:%M:%S")
                self.assertEqual(shown, record["time_page"])
                self.assertEqual("+%02d:00" % offset, record["utc_offset"])
            page = next(r["page"] for r in records if r["page"] and r["state"] == "live")
            with open(os.path.join(directory, page), encoding="utf-8") as f:
                html = f.read()
            self.assertIn(zone, html)
            first_live = next(r for r in records if r["page"] == page)
            self.assertIn(">%s<" % first_live["time_page"], html)

    def test_report_and_summary_carry_the_digests_of_source_and_copy(self):
        source = self.summary["source"]
        self.assertEqual(self.source_sha, source["sha256"])
        self.assertEqual(self.source_sha, source["sha256After"])
        self.assertTrue(source["unchanged"])
        with open(os.path.join(self.local, "report.json"), encoding="utf-8") as f:
            report = json.load(f)
        self.assertEqual(os.path.abspath(self.db), report["source"]["databaseFile"])
        for moment in ("before", "after"):
            self.assertEqual(self.source_sha, report["source"][moment]["sha256"])
            self.assertEqual(os.path.getsize(self.db), report["source"][moment]["size"])
        self.assertTrue(report["source"]["unchanged"])
        # The working copy is removed with the run; it was a byte copy of the source.
        self.assertEqual(self.source_sha, report["workingCopy"]["sha256"])
        self.assertEqual(self.summary["messages"]["rejected"], report["rejections"]["plausibility"])
        self.assertEqual(self.summary["messages"]["live"], report["recovery"]["messages"]["liveRow"])
        self.assertEqual("local time", report["settings"]["times"])
        with open(os.path.join(self.local, "report.html"), encoding="utf-8") as f:
            html = f.read()
        self.assertIn(self.source_sha, html)
        self.assertIn("<h1>扫描报告</h1>", html)
        # An export of a kept store names the store; it scanned nothing.
        with open(os.path.join(self.utc, "report.json"), encoding="utf-8") as f:
            kept = json.load(f)
        self.assertEqual(self.store, kept["keptStore"])
        self.assertIsNone(kept["source"]["unchanged"])
        self.assertEqual("UTC", kept["settings"]["times"])

    def test_index_links_every_page(self):
        with open(os.path.join(self.local, "index.html"), encoding="utf-8") as f:
            index = f.read()
        pages = [n for n in os.listdir(self.local) if n.endswith(".html") and n not in ("index.html", "report.html")]
        self.assertGreater(len(pages), 0)
        for name in pages:
            self.assertIn('href="%s"' % urllib.parse.quote(name, safe="").replace("'", "%27"), index, name)
        self.assertEqual(len(pages), index.count("<tr data-category="))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
