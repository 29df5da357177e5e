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


def fresh_db(path, page_size=1024):
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA page_size=%d" % page_size)
    db.execute("PRAGMA secure_delete=OFF")
    return db


def read_bytes(path):
    with open(path, "rb") as fh:
        return fh.read()


def flipped(image, offset):
    data = bytearray(image)
    data[offset] ^= 0x5A
    return bytes(data)


class StoredBytesTest(unittest.TestCase):
    """The generator's judgement of what a file still holds, on small databases built here
    with known contents and then changed at known places."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.tmp.name, "t.sqlite")

    def tearDown(self):
        self.tmp.cleanup()

    def test_text_of_a_row_is_whole_until_one_of_its_own_bytes_changes(self):
        db = fresh_db(self.path)
        db.execute(gen.CHAT_DDL.format(t="Chat_t"))
        long_text = "".join("第%d段，" % i for i in range(700))  # over three overflow pages
        db.executemany("INSERT INTO Chat_t (MesLocalID, CreateTime, Message, Status) "
                       "VALUES (?, ?, ?, 7)",
                       [(1, 1500000000, long_text), (2, 1500000001, "短消息")])
        root = db.execute("SELECT rootpage FROM sqlite_master WHERE name='Chat_t'").fetchone()[0]
        image = read_bytes(self.path)
        cells = gen.table_rowid_cells(image, root)
        snaps = {rowid: gen.text_snapshot(image, cells[rowid]) for rowid in (1, 2)}
        self.assertEqual(long_text.encode(), b"".join(b for _, b in snaps[1]))
        self.assertEqual("短消息".encode(), b"".join(b for _, b in snaps[2]))
        self.assertGreater(len(snaps[1]), 3)
        for rowid, snap in snaps.items():
            first, last = snap[0][0], snap[-1][0] + len(snap[-1][1]) - 1
            middle = snap[len(snap) // 2][0] + 5
            for what, offset, whole in [("CreateTime's last byte, just before", first - 1, True),
                                        ("Status, just after", last + 1, True),
                                        ("first byte", first, False),
                                        ("last byte", last, False),
                                        ("a byte of a middle piece", middle, False)]:
                with self.subTest(row=rowid, changed=what):
                    self.assertEqual(whole, gen.intact(flipped(image, offset), snap))
        # A later row of about the same size takes the freed overflow pages.
        db.execute("DELETE FROM Chat_t WHERE MesLocalID=1")
        db.execute("INSERT INTO Chat_t (MesLocalID, Message) VALUES (3, ?)", (long_text[::-1],))
        db.close()
        image = read_bytes(self.path)
        self.assertFalse(gen.intact(image, snaps[1]))
        self.assertTrue(gen.intact(image, snaps[2]))

    def test_leaves_of_a_dropped_three_level_table_hang_under_its_root(self):
        db = fresh_db(self.path)
        # A freelist trunk beforehand, so that no page of the table becomes one.
        db.execute("CREATE TABLE pad(a)")
        db.execute("INSERT INTO pad VALUES (zeroblob(3000))")
        db.execute(gen.CHAT_DDL.format(t="Chat_t"))
        db.execute("CREATE TABLE keep(a)")
        rows = [(i, "%04d" % i + "條" * 200) for i in range(1, 201)]  # one row a leaf
        db.execute("BEGIN")
        db.executemany("INSERT INTO Chat_t (MesLocalID, Message) VALUES (?, ?)", rows)
        db.execute("COMMIT")
        db.execute("DROP TABLE pad")
        root = db.execute("SELECT rootpage FROM sqlite_master WHERE name='Chat_t'").fetchone()[0]
        before = read_bytes(self.path)
        chains = gen.leaf_chains(before, root)
        record = gen.schema_entries(before)["Chat_t"][2]
        self.assertEqual(3, gen.tree_depth(before, root))
        self.assertEqual(200, len(chains))
        db.execute("DROP TABLE Chat_t")
        image = read_bytes(self.path)
        self.assertIn(record, image)

        def holding(data):
            free = gen.freelist_pages(data)[1]
            return {leaf for leaf, chain in chains.items()
                    if gen.chain_holds(data, leaf, chain, free)}

        self.assertEqual(set(chains), holding(image))
        # SQLite itself reads every row back through the chains, given the schema record
        # and the root's header as they were.
        copy = os.path.join(self.tmp.name, "again.sqlite")
        size = 1024
        base = (root - 1) * size
        with open(copy, "wb") as fh:
            fh.write(image[:base] + before[base:base + 8] + image[base + 8:])
        again = sqlite3.connect(copy)
        again.execute("PRAGMA writable_schema=ON")
        again.execute("INSERT INTO sqlite_master VALUES ('table', 'Chat_t', 'Chat_t', ?, ?)",
                      (root, gen.CHAT_DDL.format(t="Chat_t")))
        again.commit()
        again.close()
        again = sqlite3.connect(copy)
        self.assertEqual(rows, again.execute("SELECT MesLocalID, Message FROM Chat_t").fetchall())
        again.close()

        right = int.from_bytes(before[base + 8:base + 12], "big")
        under_right = {pg for pg in gen.btree_pages(before, right) if pg in chains}
        middle_hdr = (right - 1) * size
        first_slot = middle_hdr + 12
        first_cell = middle_hdr + int.from_bytes(before[first_slot:first_slot + 2], "big")
        first_child = int.from_bytes(before[first_cell:first_cell + 4], "big")
        leaf = sorted(chains)[len(chains) // 2]
        trunk = (int.from_bytes(image[32:36], "big") - 1) * size

        def free_entry(page):  # last byte of the page's number in the freelist trunk
            at = next(i for i in range(trunk + 8, trunk + size, 4)
                      if image[i:i + 4] == page.to_bytes(4, "big"))
            return at + 3

        for what, offset, cut in [
                ("the leaf's entry in the freelist", free_entry(leaf), {leaf}),
                ("the interior page's entry in the freelist", free_entry(right), under_right),
                ("root's right-child field", base + 11, under_right),
                ("root's header (type, cell count)", base + 3, set()),
                ("header of the interior page below", middle_hdr + 4, under_right),
                ("a cell-pointer slot below", first_slot + 1, {first_child}),
                ("that cell's child pointer", first_cell + 3, {first_child}),
                ("a message byte on a leaf", (leaf - 1) * size + size - 20, set())]:
            with self.subTest(changed=what):
                self.assertEqual(set(chains) - cut, holding(flipped(image, offset)))
        # Pages a live table takes again cut off the leaves on and below them: SQLite hands
        # out the page freed last first, the root.
        db.execute("INSERT INTO keep VALUES (zeroblob(5000))")
        db.close()
        image = read_bytes(self.path)
        in_use = (set(chains) | {root, right}) - gen.freelist_pages(image)[1]
        self.assertIn(root, in_use)
        self.assertEqual(set(), holding(image))


class DropCasesTest(unittest.TestCase):
    """--drop-cases and --secure-delete on the tiny profile, judged in truth.json and checked
    against the bytes of the file."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.runs = {}
        for name, args in [("plain", []), ("cases", ["--drop-cases"]),
                           ("cases1k", ["--drop-cases", "--page-size", "1024"]),
                           ("cases64k", ["--drop-cases", "--page-size", "65536"]),
                           ("secure", ["--secure-delete"])]:
            out = os.path.join(cls.tmp.name, name)
            generate(out, "--profile", "tiny", "--seed", "3", *args)
            cls.runs[name] = (out,) + load(out)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def cases(self, name):
        _, truth, _ = self.runs[name]
        return {cv["dropCase"]: cv for cv in truth["conversations"] if cv["dropCase"]}

    def messages(self, name, table):
        return [m for m in self.runs[name][1]["messages"] if m["table"] == table]

    def test_each_case_has_its_shape_and_its_ties(self):
        # On 1 KiB pages a few schema records fill a page of sqlite_master: dropping two
        # leaves it so empty that SQLite rebalances it and writes over them.
        for run, levels, kept in [
                ("cases", {"oneLeaf": 1, "twoLevels": 2, "threeLevels": 3}, None),
                ("cases1k", {"oneLeaf": 1, "twoLevels": 2, "threeLevels": 3}, {"threeLevels"}),
                ("cases64k", {"oneLeaf": 1, "twoLevels": 2}, None)]:
            out, truth, image = self.runs[run]
            cases = self.cases(run)
            with self.subTest(run=run):
                self.assertEqual(set(levels) | {"schemaGone"}, set(cases))
                self.assertEqual(set(levels) ^ {"oneLeaf", "twoLevels", "threeLevels"},
                                 set(truth["dropCasesSkipped"]))
                db = sqlite3.connect(os.path.join(out, "MM.sqlite"))
                self.assertEqual("ok", db.execute("PRAGMA integrity_check").fetchone()[0])
                tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master")}
                db.close()
                for name, cv in cases.items():
                    self.assertTrue(cv["dropped"])
                    self.assertNotIn(cv["table"], tables)
                    self.assertEqual(name != "twoLevels", cv["ownerNamedInFile"], name)
                    self.assertEqual(name != "twoLevels",
                                     cv["usrName"].encode() in image, name)
                    msgs = self.messages(run, cv["table"])
                    self.assertTrue(msgs and all(m["deleted"] for m in msgs))
                    if name == "schemaGone":
                        self.assertFalse(cv["schemaSurvives"])
                        self.assertFalse(any(m["proven"] for m in msgs))
                        continue
                    self.assertEqual(levels[name], cv["levels"], name)
                    if kept is None or name in kept:
                        self.assertTrue(cv["schemaSurvives"], name)
                    if cv["schemaSurvives"]:
                        self.assertIn(gen.CHAT_DDL.format(t=cv["table"]).encode(), image)
                    # Dropped last: nothing took their pages since.
                    self.assertTrue(all(m["textWhole"] for m in msgs), name)
                    self.assertEqual({cv["schemaSurvives"]}, {m["proven"] for m in msgs}, name)
                for cv in truth["conversations"]:
                    if cv["dropped"] and not cv["schemaSurvives"]:
                        self.assertFalse(any(m["proven"] for m in self.messages(run, cv["table"])))

    def test_cases_leave_the_profiles_content_as_it_was(self):
        plain, cases = self.runs["plain"][1], self.runs["cases"][1]
        tables = {cv["table"] for cv in plain["conversations"]}

        def content(truth):
            return ([(m["table"], m["mesLocalId"], m["createTime"], m["message"], m["deleted"])
                     for m in truth["messages"] if m["table"] in tables],
                    [(f["usrName"], f["nickName"], f["lastChatTime"], f["deleted"])
                     for f in truth["friends"][:len(plain["friends"])]])
        self.assertEqual(content(plain), content(cases))

    def test_secure_delete_leaves_no_deleted_text(self):
        token = re.compile(r"[0-9a-f]{32,}")
        for run, zeroed in [("plain", False), ("secure", True)]:
            _, truth, image = self.runs[run]
            with self.subTest(run=run):
                live = "\x00".join(m["message"] for m in truth["messages"] if not m["deleted"])
                deleted = [m for m in truth["messages"] if m["deleted"]]
                tokens = {t for m in deleted for t in token.findall(m["message"]) if t not in live}
                self.assertGreater(len(tokens), 20)
                left = [t for t in tokens if t.encode() in image]
                self.assertEqual(zeroed, not left)
                self.assertEqual(zeroed, not any(m["textWhole"] for m in deleted))
                self.assertEqual(zeroed, truth["secureDelete"])


class TextWholeInGeneratedFilesTest(unittest.TestCase):
    def test_whole_texts_are_in_the_file_and_wal_deletions_count_as_whole(self):
        with tempfile.TemporaryDirectory() as tmp:
            for i, args in enumerate((["--profile", "small", "--seed", "5", "--page-size", "1024"],
                                      ["--profile", "tiny", "--seed", "5", "--wal"])):
                generate(os.path.join(tmp, str(i)), *args)
                truth, image = load(os.path.join(tmp, str(i)))
                with self.subTest(args=args):
                    deleted = [m for m in truth["messages"] if m["deleted"]]
                    self.assertTrue(any(m["textWhole"] for m in deleted))
                    self.assertTrue(any(not m["textWhole"] for m in deleted))
                    for m in deleted:
                        if m.get("wal"):
                            self.assertTrue(m["textWhole"] and m["proven"])
                            continue
                        if not m["overwrittenLikely"]:
                            self.assertTrue(m["textWhole"])
                        # Short texts lie on the leaf in one piece.
                        if m["textWhole"] and len(m["message"].encode()) < 800:
                            self.assertIn(m["message"].encode(), image)
                    self.assertFalse(any(m["textWhole"] or m["proven"]
                                         for m in truth["messages"] if not m["deleted"]))


if __name__ == "__main__":
    unittest.main()
