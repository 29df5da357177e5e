#!/usr/bin/python3
"""Checks of tools/gen_messenger_db.py: the file is a sound SQLite database shaped like the
messenger's, its live rows equal the ground truth, deleted rows are still in the bytes where the
truth says so, and the output is a pure function of seed and options.

Run: python3 -m unittest discover -s tests/tools -p 'test_*.py'
"""

import json
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "gen_messenger_db.py")
sys.path.insert(0, os.path.dirname(TOOL))
import gen_messenger_db as gen  # noqa: E402


def generate(out, *args):
    res = subprocess.run([sys.executable, TOOL, "--out", out] + list(args),
                         capture_output=True, text=True, check=True)
    return res.stdout


def load(out):
    with open(os.path.join(out, "truth.json"), encoding="utf-8") as fh:
        truth = json.load(fh)
    with open(os.path.join(out, "MM.sqlite"), "rb") as fh:
        image = fh.read()
    return truth, image


class GeneratedDatabaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.runs = {}
        for name, args in [("tiny", ["--profile", "tiny", "--seed", "3"]),
                           ("small", ["--profile", "small", "--seed", "5"]),
                           ("single", ["--single-table", "--messages", "2000", "--seed", "9"])]:
            out = os.path.join(cls.tmp.name, name)
            cls.runs[name] = (out, generate(out, *args))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_summary_line_and_sound_file(self):
        for name, (out, stdout) in self.runs.items():
            with self.subTest(run=name):
                self.assertEqual(1, len(stdout.strip().splitlines()))
                db = sqlite3.connect(os.path.join(out, "MM.sqlite"))
                self.assertEqual("ok", db.execute("PRAGMA integrity_check").fetchone()[0])
                self.assertEqual(4096, db.execute("PRAGMA page_size").fetchone()[0])
                self.assertEqual(0, db.execute("PRAGMA auto_vacuum").fetchone()[0])
                db.close()

    def test_schema_texts(self):
        out, _ = self.runs["small"]
        db = sqlite3.connect(os.path.join(out, "MM.sqlite"))
        friend_sql = db.execute("SELECT sql FROM sqlite_master WHERE (type='table') AND "
                                "(tbl_name='Friend');").fetchone()[0]
        self.assertIn(", ShortPY TEXT ,", friend_sql)
        chats = db.execute("SELECT tbl_name, sql FROM sqlite_master WHERE (type='table') AND "
                           "(tbl_name LIKE 'Chat\\_%' ESCAPE '\\');").fetchall()
        self.assertGreater(len(chats), 10)
        for name, sql in chats:
            self.assertRegex(name, r"^Chat_[0-9a-f]{32}$")
            self.assertEqual(gen.CHAT_DDL.format(t=name), sql)
        kinds = {r[0] for r in db.execute("SELECT typeof(ShortPY) FROM Friend")}
        self.assertLessEqual(kinds, {"blob", "null"})
        db.close()

    def test_live_rows_equal_truth(self):
        for name, (out, _) in self.runs.items():
            with self.subTest(run=name):
                truth, _ = load(out)
                db = sqlite3.connect(os.path.join(out, "MM.sqlite"))
                tables = {r[0] for r in db.execute(
                    "SELECT name FROM sqlite_master WHERE type='table'")}
                for cv in truth["conversations"]:
                    self.assertEqual(cv["table"], "Chat_" + gen.md5hex(cv["usrName"]))
                    self.assertEqual(not cv["dropped"], cv["table"] in tables)
                    if cv["dropped"]:
                        continue
                    want = [(m["mesLocalId"], m["mesSvrId"], m["createTime"], m["message"],
                             m["status"], m["imgStatus"], m["type"], m["des"])
                            for m in truth["messages"]
                            if m["table"] == cv["table"] and not m["deleted"]]
                    got = db.execute("SELECT MesLocalID, MesSvrID, CreateTime, Message, Status, "
                                     "ImgStatus, Type, Des FROM %s ORDER BY MesLocalID"
                                     % cv["table"]).fetchall()
                    self.assertEqual(want, got)
                live = {f["usrName"]: f for f in truth["friends"] if not f["deleted"]}
                rows = db.execute("SELECT * FROM Friend LEFT JOIN Friend_Ext ON "
                                  "Friend.UsrName = Friend_Ext.UsrName;")
                cols = [d[0] for d in rows.description]
                seen = 0
                for row in rows.fetchall():
                    r = dict(zip(cols, row))  # later Friend_Ext.UsrName overrides, same or None
                    usr = row[cols.index("UsrName")]
                    f = live[usr]
                    seen += 1
                    self.assertEqual(f["nickName"], r["NickName"])
                    self.assertEqual(f["lastChatTime"], r["LastChatTime"])
                    self.assertEqual(f["conStrRes2"] if f["hasExt"] else None, r["ConStrRes2"])
                    self.assertEqual(f["conChatRoomMem"], r["ConChatRoomMem"])
                    self.assertEqual(f["shortPY"].encode() if f["shortPY"] is not None else None,
                                     r["ShortPY"])
                self.assertEqual(len(live), seen)
                db.close()

    def test_deleted_rows_left_in_bytes(self):
        for name, (out, _) in self.runs.items():
            with self.subTest(run=name):
                truth, image = load(out)
                deleted = [m for m in truth["messages"] if m["deleted"]]
                self.assertGreater(len(deleted), 10)
                found = 0
                for m in deleted:
                    present = m["message"].encode("utf-8")[:200] in image
                    found += present
                    if not m["overwrittenLikely"]:
                        self.assertTrue(present, m)
                self.assertGreater(found / len(deleted), 0.7)
                for f in truth["friends"]:
                    if f["deleted"] and not f["overwrittenLikely"]:
                        self.assertIn(f["usrName"].encode(), image)

    def test_content_mix(self):
        truth, _ = load(self.runs["small"][0])
        msgs = truth["messages"]
        self.assertEqual({1, 3, 34, 42, 43, 47, 48, 49, 50, 10000}, {m["type"] for m in msgs})
        self.assertEqual({"friend", "chatroom", "official"}, {f["kind"] for f in truth["friends"]})
        tag = re.compile(r"^([\w|@-]+):\n", re.ASCII)
        fromuser = re.compile(r'fromusername\s*=\s*"([\w|@-]+)"[^\n\r]*$', re.ASCII)
        tagged = [m for m in msgs if m["taggedUserName"]]
        self.assertTrue(tagged)
        for m in tagged:
            self.assertEqual(m["taggedUserName"], tag.match(m["message"]).group(1))
            self.assertEqual(1, m["des"])
        self.assertTrue(any(fromuser.search(m["message"]) for m in msgs))
        self.assertTrue(any(m["mesSvrId"] == 0 for m in msgs))
        self.assertTrue(any(len(m["message"].encode()) > 4096 for m in msgs))
        self.assertTrue(any("的" in m["message"] for m in msgs))
        self.assertTrue(any(ord(ch) > 0xFFFF for m in msgs for ch in m["message"]))
        self.assertTrue(any(m["late"] and not m["deleted"] for m in msgs))
        rooms = [f for f in truth["friends"] if f["kind"] == "chatroom"]
        for room in rooms:
            self.assertTrue(room["usrName"].endswith("@chatroom"))
            self.assertTrue(set(room["conChatRoomMem"].split(";")) - {""})
        same_second = 0
        for cv in truth["conversations"]:
            times = [m["createTime"] for m in msgs if m["table"] == cv["table"]]
            self.assertEqual(sorted(times), times)
            same_second += sum(1 for a, b in zip(times, times[1:]) if a == b)
            for t in times:
                self.assertTrue(gen.T_START <= t <= gen.T_END)
        self.assertGreater(same_second, 0)
        names = [f["usrName"] for f in truth["friends"]]
        for n in names:
            self.assertRegex(n, r"^[\w|@-]{1,32}$")

    def test_single_table_layout(self):
        out, _ = self.runs["single"]
        truth, _ = load(out)
        db = sqlite3.connect(os.path.join(out, "MM.sqlite"))
        chats = db.execute("SELECT name FROM sqlite_master WHERE name LIKE 'Chat\\_%' "
                           "ESCAPE '\\'").fetchall()
        self.assertEqual(1, len(chats))
        deleted = sum(m["deleted"] for m in truth["messages"])
        self.assertGreater(deleted / len(truth["messages"]), 0.3)
        db.close()

    def test_same_seed_same_bytes(self):
        a = os.path.join(self.tmp.name, "again")
        generate(a, "--profile", "small", "--seed", "5")
        for f in ("MM.sqlite", "truth.json"):
            with open(os.path.join(a, f), "rb") as x, \
                    open(os.path.join(self.runs["small"][0], f), "rb") as y:
                self.assertEqual(x.read(), y.read(), f)
        b = os.path.join(self.tmp.name, "other")
        generate(b, "--profile", "small", "--seed", "6")
        with open(os.path.join(b, "truth.json"), "rb") as x, \
                open(os.path.join(a, "truth.json"), "rb") as y:
            self.assertNotEqual(x.read(), y.read())


if __name__ == "__main__":
    unittest.main()
