#!/usr/bin/env python3
"""wchat-recover as a person and a script see it.

Runs a scan under a pseudo-terminal of a given width and replays what it wrote on a
small screen model (carriage return, line feed, erase to end of line, wide
characters, wrapping at the right edge); runs it with standard error on a pipe
(plain lines, JSON summary); stops it with SIGINT; and checks that the README
shows the command's --help text as it is.

usage: test_terminal.py WCHAT_RECOVER TOOLS_DIR README
"""
import fcntl
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unicodedata
import unittest

BINARY, TOOLS, README = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)
STAGES = [
    "正在读取数据库...",
    "(1/3) 正在扫描好友...",
    "(2/3) 正在扫描聊天记录...",
    "正在复制未删除的聊天记录...",
    "(3/3) 正在扫描、分析记录...",
    "正在整理恢复结果...",
]


def width(ch):
    if unicodedata.combining(ch):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


class Screen:
    """The rows a terminal of `columns` columns shows after some output."""

    def __init__(self, columns):
        self.columns = columns
        self.rows = [[]]
        self.col = 0

    def feed(self, text):
        i = 0
        while i < len(text):
            if text.startswith("\x1b[K", i):
                del self.rows[-1][self.col:]
                i += 3
                continue
            ch = text[i]
            i += 1
            if ch == "\r":
                self.col = 0
            elif ch == "\n":
                self.rows.append([])
                self.col = 0
            elif ch == "\x1b":
                raise AssertionError("unexpected escape sequence near %r" % text[i - 1:i + 8])
            else:
                w = width(ch)
                if self.col + w > self.columns:  # wraps to a new row
                    self.rows.append([])
                    self.col = 0
                row = self.rows[-1]
                cells = [ch] + [""] * (w - 1)
                row[self.col:self.col + w] = cells
                self.col += w

    def lines(self):
        return ["".join(row).rstrip() for row in self.rows if "".join(row).strip()]


def run_in_terminal(args, columns, env):
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(BINARY, [BINARY] + args, env)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    output = b""
    while True:
        ready, _, _ = select.select([fd], [], [], 120)
        if not ready:
            os.kill(pid, signal.SIGKILL)
            raise AssertionError("no output for 120 s")
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), output.decode("utf-8")


class CommandLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.db_dir = os.path.join(cls.temp.name, "db")
        subprocess.run([sys.executable, os.path.join(TOOLS, "gen_messenger_db.py"), "--out", cls.db_dir,
                        "--profile", "small", "--seed", "5"], check=True, stdout=subprocess.DEVNULL)
        cls.db = os.path.join(cls.db_dir, "MM.sqlite")
        cls.env = dict(os.environ, TMPDIR=cls.temp.name)

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_every_stage_ends_on_a_clean_line_of_its_own(self):
        for columns in (80, 120):
            with self.subTest(columns=columns):
                code, output = run_in_terminal(["scan", "--db", self.db, "--threads", "2"], columns, self.env)
                self.assertEqual(0, code, output)
                screen = Screen(columns)
                screen.feed(output.replace("\r\n", "\n"))
                lines = screen.lines()
                for line in lines:
                    self.assertLessEqual(sum(width(c) for c in line), columns - 1, line)
                for stage in STAGES:
                    finals = [line for line in lines if line.startswith(stage)]
                    self.assertEqual(1, len(finals), (stage, lines))
                    final = finals[0]
                    self.assertRegex(final, r"\] 100%(  已使用时间：\d\d:\d\d:\d\d)?$", final)
                    for other in STAGES:
                        if other != stage:
                            self.assertNotIn(other, final)

    def test_plain_lines_and_the_json_summary(self):
        store = os.path.join(self.temp.name, "kept.sqlite")
        result = subprocess.run([BINARY, "scan", "--db", self.db, "--json", "--store", store],
                                capture_output=True, env=self.env, timeout=300)
        self.assertEqual(0, result.returncode, result.stderr.decode())
        err = result.stderr.decode("utf-8")
        self.assertNotIn("\x1b", err)
        self.assertNotIn("\r", err)
        for stage in STAGES:
            self.assertIn(stage + " 100%", err)
        summary = json.loads(result.stdout)
        self.assertGreater(summary["messages"]["live"], 0)
        self.assertEqual(summary["messages"]["recovered"], summary["recoveredDeletedMessages"])
        self.assertGreaterEqual(summary["messages"]["rejected"], 0)
        self.assertFalse(summary["partial"])
        self.assertEqual(store, summary["store"])
        self.assertIn("seekChats", summary["stageMilliseconds"])
        quiet = subprocess.run([BINARY, "export", store, "--export", os.path.join(self.temp.name, "out"),
                                "--quiet"], capture_output=True, env=self.env, timeout=300)
        self.assertEqual(0, quiet.returncode)
        self.assertEqual(b"", quiet.stdout + quiet.stderr)

    def test_ctrl_c_stops_and_leaves_no_copy_behind(self):
        work_root = os.path.join(self.temp.name, "interrupted")
        os.mkdir(work_root)
        env = dict(self.env, TMPDIR=work_root)
        process = subprocess.Popen([BINARY, "scan", "--db", self.db, "--threads", "1"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env)
        # Interrupt once the first carving stage has started.
        seen = b""
        while b"(1/3)" not in seen:
            line = process.stderr.readline()
            self.assertTrue(line, "the scan ended before its first seek: " + seen.decode())
            seen += line
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
        self.assertEqual(130, process.returncode, (seen + err).decode())
        self.assertTrue((seen + err).decode().rstrip().endswith("wchat-recover: stopped by the user"))
        self.assertEqual(b"", out)
        self.assertEqual([], os.listdir(work_root))

    def encrypted_backup(self, name, iterations):
        backup = os.path.join(self.temp.name, name)
        subprocess.run([sys.executable, os.path.join(TOOLS, "gen_backup.py"), "--out", backup, "--placeholder-db",
                        "--encrypted", "--password", "typed secret", "--kdf-iterations", str(iterations)],
                       check=True, stdout=subprocess.DEVNULL)
        return backup

    def test_password_is_asked_for_without_echo(self):
        backup = self.encrypted_backup("asked", 1000)
        for password, expected in (("typed secret", "owner: "), ("typed secreT", "wrong backup password")):
            with self.subTest(password=password):
                pid, fd = pty.fork()
                if pid == 0:
                    os.execve(BINARY, [BINARY, "accounts", backup], self.env)
                output = b""
                typed = False
                while True:
                    ready, _, _ = select.select([fd], [], [], 120)
                    if not ready:
                        os.kill(pid, signal.SIGKILL)
                        raise AssertionError("no output for 120 s: " + output.decode())
                    try:
                        chunk = os.read(fd, 65536)
                    except OSError:
                        break
                    if not chunk:
                        break
                    output += chunk
                    if not typed and b"backup password: " in output:
                        os.write(fd, password.encode() + b"\n")
                        typed = True
                _, status = os.waitpid(pid, 0)
                text = output.decode("utf-8")
                self.assertTrue(typed, text)
                self.assertIn(expected, text)
                self.assertNotIn(password, text)  # the terminal never showed it

    def test_ctrl_c_during_the_key_derivation(self):
        backup = self.encrypted_backup("interrupted-derivation", 10000000)  # the count iOS writes
        work = os.path.join(self.temp.name, "derivation-work")
        with open(os.path.join(self.temp.name, "pw"), "w") as f:
            f.write("typed secret\n")
        process = subprocess.Popen([BINARY, "scan", backup, "--password-file", os.path.join(self.temp.name, "pw"),
                                    "--work", work], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        seen = b""
        while "正在由备份密码生成密钥... 0%".encode() not in seen:
            line = process.stderr.readline()
            self.assertTrue(line, "the scan ended before its key derivation: " + seen.decode())
            seen += line
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
        self.assertEqual(130, process.returncode, (seen + err).decode())
        self.assertTrue((seen + err).decode().rstrip().endswith("wchat-recover: stopped by the user"))
        self.assertNotIn("100%", (seen + err).decode())  # stopped inside the derivation
        self.assertEqual([], os.listdir(work))

    def test_readme_shows_the_usage_text(self):
        usage = subprocess.run([BINARY, "--help"], capture_output=True, check=True).stdout.decode("utf-8")
        with open(README, encoding="utf-8") as f:
            readme = f.read()
        indented = "".join("    " + line if line.strip() else line for line in usage.splitlines(True))
        self.assertIn(indented, readme, "README's command section differs from --help:\n" + indented)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
