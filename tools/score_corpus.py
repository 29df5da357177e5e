#!/usr/bin/env python3
"""Scores sqlite-carve against the SQLite forensic corpus and its XML answer keys.

Usage: score_corpus.py [--carve BINARY] [--corpus DIR] [--categories 0C,0D,...] [--details]

For every database of the chosen categories the script carves every table the
answer key lists (and, for the schema categories 01 to 06, every table of the
file's schema) with sqlite-carve and prints one line per category:

  deleted  rows the key marks deleted
  present  deleted rows whose distinctive values are still in the file (each
           value searched in the bytes as SQLite stores it)
  found    deleted rows some carved row carries all column values of
  p.found  present rows among them
  phantom  carved rows that match no row of the key, live or deleted
  live     rows the key marks live; l.found: those some carved row carries
  tables   tables carved / tables that failed, with the one-line reasons under
           --details

A carved row matches a key row when every column agrees: integers exactly,
reals to 1e-9 relative, text byte for byte; a null in the row-id column stands
for any value, and a value of a record marked truncated need only be a prefix
(its columns after the cut are null); a column a record lists as "unknown" is
null and stands for any value. The keys write NULL as the text NULL.
Databases are copied to a temporary directory first; the corpus is only read.
"""
import argparse
import json
import math
import os
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CARVE = os.path.join(HERE, "..", "build", "bin", "sqlite-carve")
DEFAULT_CORPUS = os.path.join(HERE, "..", "..", "shared", "corpus", "sqlite-forensic-corpus-v1.0")
DEFAULT_CATEGORIES = "01,02,03,04,05,06,0C,0D,0E"
# Values shorter than this (in stored bytes) say too little to count as evidence.
MIN_DISTINCTIVE_BYTES = 3
# Long values may be split by an overflow chain: their head and tail are searched.
PIECE = 32


def parse_number(text):
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return None


def key_value(text):
    """The value of a <content> element: None (NULL), int, float or str."""
    if text is None or text == "NULL":
        return None
    number = parse_number(text.strip()) if text.strip() == text else None
    if number is not None:
        return number
    return text


def stored_forms(value, encoding):
    """Byte strings SQLite may hold for the value (empty list: nothing distinctive)."""
    if value is None:
        return []
    if isinstance(value, float) and value.is_integer() and abs(value) < 2**63:
        value_int = int(value)
        return stored_forms(value_int, encoding) + [struct.pack(">d", value)]
    if isinstance(value, int):
        for width in (1, 2, 3, 4, 6, 8):
            if -(1 << (8 * width - 1)) <= value < (1 << (8 * width - 1)):
                return [value.to_bytes(width, "big", signed=True)]
        return []
    if isinstance(value, float):
        return [struct.pack(">d", value)]
    return [value.encode(encoding)]


def is_present(values, data, encoding):
    """True when every distinctive value of the row is still somewhere in the file."""
    distinctive = 0
    for value in values:
        forms = [f for f in stored_forms(value, encoding) if len(f) >= MIN_DISTINCTIVE_BYTES]
        if not forms:
            continue
        distinctive += 1
        ok = False
        for form in forms:
            pieces = [form] if len(form) <= 2 * PIECE else [form[:PIECE], form[-PIECE:]]
            if all(data.find(p) >= 0 for p in pieces):
                ok = True
                break
        if not ok:
            return False
    return distinctive > 0


def same_value(carved, key, rowid_column, truncated):
    if carved is None:
        # Columns after the cut of a truncated record are null.
        return key is None or rowid_column or truncated
    if key is None:
        return False
    if isinstance(carved, str):
        if not isinstance(key, str):
            key = str(key)
        return key.startswith(carved) if truncated else carved == key
    if isinstance(key, str):
        return False
    if isinstance(carved, int) and isinstance(key, int):
        return carved == key
    return math.isclose(float(carved), float(key), rel_tol=1e-9, abs_tol=1e-9)


def matches(carved, key_row, rowid_index, truncated, unknown=()):
    if len(carved) != len(key_row):
        return False
    return all(same_value(c, k, i == rowid_index or i in unknown, truncated)
               for i, (c, k) in enumerate(zip(carved, key_row)))


def signature(values, rowid_index):
    """A hashable form of a row that equal rows share (reals rounded), the row id left out."""
    out = []
    for i, v in enumerate(values):
        if i == rowid_index:
            continue
        if isinstance(v, (int, float)) and not isinstance(v, bool):
            out.append(("n", float("%.9g" % float(v))))
        else:
            out.append(v)
    return tuple(out)


def read_key(path):
    """{table name: (column names, [(deleted, values)])} of the answer key."""
    with open(path, "rb") as f:
        text = f.read()
    # Some keys hold raw control characters (table names made of them), which
    # XML 1.0 forbids even as references: read them as '?'.
    text = bytes(b if b >= 0x20 or b in (9, 10, 13) else 0x3F for b in text)
    try:
        root = ET.fromstring(text)
    except ET.ParseError:
        return None
    tables = {}
    for element in root.findall("element"):
        meta = element.find("meta")
        if meta is None or (meta.findtext("type") or "").lower() != "table":
            continue
        name = meta.findtext("name")
        columns = [d.findtext("meta/name") for d in element.findall("sql/columnDefinition")]
        rows = []
        entries = element.find("entries")
        for row in entries.findall("row") if entries is not None else []:
            by_name = {}
            for column in row.findall("column"):
                content = column.find("content")
                by_name[column.findtext("name")] = key_value(content.text if content is not None else None)
            ordered = [by_name.get(c) for c in columns] if columns else list(by_name.values())
            rows.append((row.get("deleted") == "1", ordered))
        tables[name] = (columns, rows)
    return tables


def schema_tables(path):
    """Names of the file's tables and its text encoding, read with the SQLite library."""
    connection = sqlite3.connect("file:" + path + "?mode=ro&immutable=1", uri=True)
    try:
        names = [r[0] for r in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
        encoding = connection.execute("PRAGMA encoding").fetchone()[0]
    finally:
        connection.close()
    return names, {"UTF-8": "utf-8", "UTF-16le": "utf-16-le", "UTF-16be": "utf-16-be"}.get(encoding, "utf-8")


def rowid_column(path, table):
    connection = sqlite3.connect("file:" + path + "?mode=ro&immutable=1", uri=True)
    try:
        info = connection.execute('PRAGMA table_info("%s")' % table.replace('"', '""')).fetchall()
    except sqlite3.Error:
        return -1
    finally:
        connection.close()
    keys = [r for r in info if r[5] > 0]
    if len(keys) == 1 and keys[0][2].upper() == "INTEGER":
        return keys[0][0]
    return -1


def carve(binary, path, table):
    run = subprocess.run([binary, "--threads", "1", path, table], capture_output=True, timeout=600)
    if run.returncode != 0:
        return None, run.stderr.decode("utf-8", "replace").strip().splitlines()[:1]
    rows = []
    for line in run.stdout.decode("utf-8").splitlines():
        rows.append(json.loads(line))
    return rows, []


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--carve", default=DEFAULT_CARVE)
    parser.add_argument("--corpus", default=DEFAULT_CORPUS)
    parser.add_argument("--categories", default=DEFAULT_CATEGORIES)
    parser.add_argument("--details", action="store_true", help="one line per table and every failure")
    args = parser.parse_args()
    if not os.path.isfile(args.carve):
        sys.exit("score_corpus: no sqlite-carve at %s" % args.carve)

    print("%-4s %6s %7s %7s %7s %7s %7s %7s %7s %7s" %
          ("cat", "files", "deleted", "present", "found", "p.found", "phantom", "live", "l.found", "tables"))
    with tempfile.TemporaryDirectory(prefix="score-corpus-") as scratch:
        for category in args.categories.split(","):
            folder = os.path.join(args.corpus, category)
            if not os.path.isdir(folder):
                print("%-4s missing" % category)
                continue
            totals = dict(files=0, deleted=0, present=0, found=0, pfound=0, phantom=0, live=0, lfound=0, ok=0, failed=0)
            failures = []
            for name in sorted(os.listdir(folder)):
                if not name.endswith(".db"):
                    continue
                source = os.path.join(folder, name)
                copy = os.path.join(scratch, name)
                shutil.copyfile(source, copy)
                with open(copy, "rb") as f:
                    data = f.read()
                totals["files"] += 1
                key_path = source[:-3] + ".xml"
                key = read_key(key_path) if os.path.isfile(key_path) else {}
                if key is None:
                    failures.append("%s: answer key is not well-formed XML; tables carved, rows not scored" % name)
                    key = {}
                try:
                    names, encoding = schema_tables(copy)
                except sqlite3.Error as e:
                    names, encoding = [], "utf-8"
                    failures.append("%s: schema unreadable: %s" % (name, e))
                # A key name the file does not hold was mangled by the key's own control characters.
                wanted = [t for t in key if not names or t in names]
                wanted = list(dict.fromkeys(wanted + (names if category < "07" else [])))
                for table in wanted:
                    carved, error = carve(args.carve, copy, table)
                    if carved is None:
                        totals["failed"] += 1
                        failures.append("%s %s: %s" % (name, ascii(table), error[0] if error else "?"))
                        continue
                    totals["ok"] += 1
                    if table not in key:
                        continue
                    _, rows = key[table]
                    rowid = rowid_column(copy, table)
                    found = present = pfound = phantom = deleted = 0
                    key_index = {}
                    for _, values in rows:
                        key_index.setdefault(signature(values, rowid), []).append(values)
                    carved_index = {}
                    with_unknown = []  # records with values that cannot be told, matched one by one
                    for record in carved:
                        truncated = record.get("truncated", False)
                        unknown = tuple(record.get("unknown", ()))
                        if truncated or unknown:
                            candidates = [values for _, values in rows]
                        else:
                            carved_index.setdefault(signature(record["values"], rowid), []).append(record)
                            candidates = key_index.get(signature(record["values"], rowid), [])
                        if unknown:
                            with_unknown.append(record)
                        if not any(matches(record["values"], values, rowid, truncated, unknown) for values in candidates):
                            phantom += 1
                    for is_deleted, values in rows:
                        if not is_deleted:
                            totals["live"] += 1
                            totals["lfound"] += any(matches(r["values"], values, rowid, False)
                                                    for r in carved_index.get(signature(values, rowid), []))
                            continue
                        deleted += 1
                        here = is_present(values, data, encoding)
                        hit = any(matches(r["values"], values, rowid, False)
                                  for r in carved_index.get(signature(values, rowid), []))
                        hit = hit or any(matches(r["values"], values, rowid, False, tuple(r["unknown"]))
                                         for r in with_unknown)
                        present += here
                        found += hit
                        pfound += here and hit
                    totals["deleted"] += deleted
                    totals["present"] += present
                    totals["found"] += found
                    totals["pfound"] += pfound
                    totals["phantom"] += phantom
                    if args.details:
                        print("     %s %s: deleted %d present %d found %d p.found %d phantom %d carved %d" %
                              (name, table, deleted, present, found, pfound, phantom, len(carved)))
            print("%-4s %6d %7d %7d %7d %7d %7d %7d %7d %4d/%d" %
                  (category, totals["files"], totals["deleted"], totals["present"], totals["found"],
                   totals["pfound"], totals["phantom"], totals["live"], totals["lfound"], totals["ok"], totals["failed"]))
            if args.details or category < "07":
                for failure in failures:
                    print("     failed: " + failure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
