#!/usr/bin/env python3
"""Fails when a source file of a layer includes a header its layer may not use.

The link check in cmake/Layers.cmake sees libraries; this one sees headers, so a
header-only use of Qt or of sqlite3.h in a lower layer is caught as well.
"""
import pathlib
import re
import sys

ALLOWED = {
    "common": {"common"},
    "sqlite_recovery": {"common", "sqlite_recovery"},
    "sqldb": {"common", "sqldb"},
    "wchat": {"common", "sqlite_recovery", "sqldb", "wchat"},
    "backup": {"common", "sqldb", "backup"},
}
# Folders of the application layer and the folders of src/app they may include.
APP_ALLOWED = {
    "store": {"store"},
    "pages": {"store", "pages"},
    "export": {"store", "pages", "export"},
    "session": {"store", "pages", "export", "session"},
    "browser": {"store", "browser"},
    "pictures": {"store", "pictures"},
    "cli": {"store", "pages", "export", "session", "browser", "cli"},
    "gui": {"store", "pages", "export", "session", "browser", "pictures", "gui"},
}
APP_INCLUDE = re.compile(r'^\s*#\s*include\s+"app/([a-z_]+)/')
NO_QT = {"common", "sqlite_recovery", "sqldb", "wchat"}
NO_SQLITE_LIBRARY = {"common", "sqlite_recovery"}

OURS = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
SYSTEM = re.compile(r"^\s*#\s*include\s+<([^>]+)>")


def violations(src: pathlib.Path):
    for layer, allowed in ALLOWED.items():
        for path in sorted((src / layer).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                where = f"{path.relative_to(src.parent)}:{number}"
                ours = OURS.match(line)
                if ours and ours.group(1) not in allowed:
                    yield f"{where}: {layer} may not include {ours.group(1)}/"
                system = SYSTEM.match(line)
                if not system:
                    continue
                header = system.group(1)
                if layer in NO_QT and (header.startswith("Q") or header.startswith("Qt")):
                    yield f"{where}: {layer} may not use Qt ({header})"
                if layer in NO_SQLITE_LIBRARY and header.startswith("sqlite3"):
                    yield f"{where}: {layer} may not use the SQLite library ({header})"


def app_violations(src: pathlib.Path):
    for folder, allowed in APP_ALLOWED.items():
        for path in sorted((src / "app" / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = APP_INCLUDE.match(line)
                if match and match.group(1) not in allowed:
                    yield f"{path.relative_to(src.parent)}:{number}: app/{folder} may not include app/{match.group(1)}/"


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    found = list(violations(src)) + list(app_violations(src))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
