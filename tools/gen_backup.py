#!/usr/bin/env python3
"""Write a synthetic iTunes device backup for tests and demonstrations.

The backup directory is --out itself (created; it must not exist or be empty).
To make it discoverable put it below a backup root, e.g.
    "$AppData/Apple Computer/MobileSync/Backup/<udid>"
where <udid> is printed in the summary (40 hex digits derived from --seed).

Layouts:
  mbdb  old backups: Manifest.mbdb, every file stored flat under
        SHA-1(domain + "-" + path).
  db    iOS 10 and later: Manifest.db (SQLite, table Files) and every file stored
        under <first two hex digits of fileID>/<fileID>.
Both write Info.plist (XML), Manifest.plist and Status.plist (binary).

Each messenger account (--accounts 1 or 2) lies in
"Documents/<md5 of the user name>/" of domain "AppDomain-com.tencent.xin" with
DB/MM.sqlite (and an empty DB/MM.sqlite-wal; with --wal the log gen_messenger_db.py left and
DB/MM.sqlite-shm), mmsetting.archive (a binary
property list shaped like a keyed archive) and a few media files under Img/,
Audio/ and Video/<md5 of a contact>/. MM.sqlite comes from gen_messenger_db.py
when that tool lies beside this one (unless --placeholder-db), otherwise from a
small placeholder database. Files of other apps' domains are added as decoys.

--encrypted writes the backup as iTunes and Finder write an encrypted one, with
the password --password: Manifest.plist gets a keybag (BackupKeyBag) whose class
keys are wrapped (AES key wrap, RFC 3394) with the key derived from the password
(PBKDF2-HMAC-SHA256 over DPSL with --kdf-iterations, then PBKDF2-HMAC-SHA1 over
SALT with 10,000 iterations; --legacy-kdf: the SHA-1 step alone, as before iOS
10.2), and ManifestKey. Every file gets a key of its own, wrapped with its class
key and kept in its manifest record; files and Manifest.db are AES-256-CBC with
a zero IV and PKCS#7 padding. The contents are those of the same command without
--encrypted. Salts and keys come from --seed: test data, not secrets.
--without-key TEXT leaves the key out of the records whose path ends with TEXT.

A JSON summary (udid, layout, accounts with their expected settings, media
paths) is printed on standard output. Needs the Python standard library and, for
--encrypted, the "cryptography" package (Debian: python3-cryptography).
"""

import argparse
import datetime
import hashlib
import json
import os
import plistlib
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile

MESSENGER_DOMAIN = "AppDomain-com.tencent.xin"
TOOLS_DIR = os.path.dirname(os.path.abspath(__file__))
MESSENGER_DB_TOOL = os.path.join(TOOLS_DIR, "gen_messenger_db.py")
BASE_TIME = datetime.datetime(2021, 6, 1, 8, 12, 34)

FLAG_FILE, FLAG_DIR = 1, 2
MODE_FILE, MODE_DIR = 0o100644, 0o040755


def md5_hex(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def sha1_hex(text):
    return hashlib.sha1(text.encode("utf-8")).hexdigest()


class Entry:
    """One file or directory of the device, in its domain."""

    def __init__(self, domain, path, content=None, properties=None):
        self.domain = domain
        self.path = path
        self.content = content  # None for a directory
        self.properties = properties or []

    @property
    def is_dir(self):
        return self.content is None

    @property
    def file_id(self):
        return sha1_hex(self.domain + "-" + self.path)


# ---------------------------------------------------------------- messenger files

def placeholder_messenger_db(user_name, contacts, rng):
    """A small SQLite file with the messenger's main tables and a few rows."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "MM.sqlite")
        con = sqlite3.connect(path)
        con.execute("PRAGMA journal_mode=DELETE")
        con.execute("CREATE TABLE Friend (UsrName TEXT PRIMARY KEY, NickName TEXT, Uin INTEGER,"
                    " Email TEXT, Mobile TEXT, Sex INTEGER, FullPY TEXT, Img TEXT, Type INTEGER,"
                    " LastChatTime INTEGER, Draft TEXT)")
        con.execute("CREATE TABLE Friend_Ext (UsrName TEXT PRIMARY KEY, ConRemark TEXT,"
                    " ConStrRes2 TEXT)")
        for i, contact in enumerate(contacts):
            con.execute("INSERT INTO Friend VALUES (?,?,?,?,?,?,?,?,?,?,?)",
                        (contact, "好友%d" % (i + 1), 0, "", "", 1 + i % 2, "haoyou%d" % (i + 1),
                         "", 3, 1622535154 + i, ""))
            con.execute("INSERT INTO Friend_Ext VALUES (?,?,?)",
                        (contact, "", "<HeadImgUrl>http://wx.qlogo.cn/mmhead/%s/132</HeadImgUrl>"
                         % md5_hex(contact)[:16]))
            table = "Chat_" + md5_hex(contact)
            con.execute("CREATE TABLE %s (MesLocalID INTEGER PRIMARY KEY AUTOINCREMENT,"
                        " MesSvrID INTEGER, CreateTime INTEGER, Message TEXT, Status INTEGER,"
                        " ImgStatus INTEGER, Type INTEGER, Des INTEGER)" % table)
            for n in range(3):
                con.execute("INSERT INTO %s (MesSvrID, CreateTime, Message, Status, ImgStatus,"
                            " Type, Des) VALUES (?,?,?,?,?,?,?)" % table,
                            (rng.randrange(1, 2**62), 1622535154 + 60 * n,
                             "消息 %d from %s to %s" % (n, contact, user_name), 2, 1, 1, n % 2))
        con.commit()
        con.close()
        with open(path, "rb") as f:
            return f.read()


def generated_messenger_db(seed, profile, truth_target, target_mb=None, wal=False):
    """MM.sqlite written by gen_messenger_db.py; its truth.json copied when asked. With wal,
    (MM.sqlite, MM.sqlite-wal, MM.sqlite-shm) contents, the database left in WAL mode."""
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, MESSENGER_DB_TOOL, "--out", tmp, "--seed", str(seed),
                        "--profile", profile]
                       + (["--target-mb", str(target_mb)] if target_mb else [])
                       + (["--wal"] if wal else []),
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(tmp, "MM.sqlite"), "rb") as f:
            data = f.read()
        truth = os.path.join(tmp, "truth.json")
        if truth_target and os.path.exists(truth):
            shutil.copyfile(truth, truth_target)
        if not wal:
            return data
        companions = []
        for suffix in ("-wal", "-shm"):
            with open(os.path.join(tmp, "MM.sqlite" + suffix), "rb") as f:
                companions.append(f.read())
        return (data, companions[0], companions[1])


def keyed_archive_settings(settings, rng):
    """mmsetting.archive: a keyed archive whose $objects strings, counted from
    "$null" as 0, hold user name (1), nickname (2), fifth string (4), signature (11)
    and later the picture address ending in "132"."""
    strings = [
        "$null",
        settings["userName"],
        settings["nickName"],
        "alias_%04d" % rng.randrange(10000),
        settings["fifthString"],
        "CN", "Guangdong", "Shenzhen",
        "zh_CN", "0", "mmsetting",
        settings["signature"],
        "extra-%d" % rng.randrange(1000),
        settings["headImgUrl"],
        settings["headImgUrl"][:-3] + "0",
    ]
    objects = [strings[0], {"$class": plistlib.UID(len(strings) + 1), "version": 3}]
    objects += strings[1:6] + [rng.randrange(1, 10**9)] + strings[6:]
    objects.append({"$classname": "CSettingExt", "$classes": ["CSettingExt", "NSObject"]})
    archive = {
        "$archiver": "NSKeyedArchiver",
        "$version": 100000,
        "$top": {"root": plistlib.UID(1)},
        "$objects": objects,
    }
    return plistlib.dumps(archive, fmt=plistlib.FMT_BINARY)


# A voice note that plays: one second of tone encoded with silk-wasm (tools/gen_silk_tone.js).
VOICE_TONE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "app", "pages", "data",
                               "tone-1000ms.aud")
VOICE_TONE = open(VOICE_TONE_PATH, "rb").read() if os.path.isfile(VOICE_TONE_PATH) else None


def media_files(account_dir, contacts, rng):
    """Media paths as the conversation renderer looks them up:
    Documents/<account>/{Img,Audio,Video}/<md5 of contact>/<local id><suffix>."""
    files = []
    for i, contact in enumerate(contacts):
        digest = md5_hex(contact)
        local_id = i + 1
        base = "Documents/%s" % account_dir
        files.append(("%s/Img/%s/%d.pic" % (base, digest, local_id),
                      b"\xff\xd8\xff\xe0" + rng.randbytes(60)))
        files.append(("%s/Img/%s/%d.pic_thum" % (base, digest, local_id),
                      b"\xff\xd8\xff\xe0" + rng.randbytes(20)))
        noise = rng.randbytes(40)  # drawn always, so that the rest stays as it was
        files.append(("%s/Audio/%s/%d.aud" % (base, digest, local_id + 1),
                      VOICE_TONE or b"\x02#!SILK_V3" + noise))
        files.append(("%s/Video/%s/%d.mp4" % (base, digest, local_id + 2),
                      b"\x00\x00\x00\x18ftypmp42" + rng.randbytes(40)))
        files.append(("%s/Video/%s/%d.video_thum" % (base, digest, local_id + 2),
                      b"\xff\xd8\xff\xe0" + rng.randbytes(20)))
    return files


def tiny_png(width=96, height=64, rgb=(0x6a, 0x9f, 0xd8)):
    """A valid picture (one colour), so pages show it rather than a broken image."""
    import zlib
    row = b"\x00" + bytes(rgb) * width
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * height))
            + chunk(b"IEND", b""))


def message_media_files(account_dir, db, per_table):
    """Media of live picture, voice and video messages, as the renderer looks them up:
    the first per_table of each kind in every conversation table. The bytes are fixed
    (no random draws), so the rest of the backup stays as it is without this option."""
    files = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "MM.sqlite")
        with open(path, "wb") as f:
            f.write(db)
        con = sqlite3.connect(path)
        try:
            tables = [row[0] for row in con.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'Chat\\_%' ESCAPE '\\' "
                "ORDER BY name")]
            base = "Documents/%s" % account_dir
            for table in tables:
                digest = table[len("Chat_"):]
                if len(digest) != 32:
                    continue
                for kind, folder, suffixes in ((3, "Img", (".pic", ".pic_thum")), (34, "Audio", (".aud",)),
                                               (43, "Video", (".mp4", ".video_thum"))):
                    rows = con.execute('SELECT MesLocalID FROM "%s" WHERE Type = ? ORDER BY MesLocalID LIMIT ?'
                                       % table, (kind, per_table)).fetchall()
                    for (local_id,) in rows:
                        for suffix in suffixes:
                            if suffix == ".aud":
                                data = VOICE_TONE or b"\x02#!SILK_V3"
                            elif suffix == ".mp4":
                                data = b"\x00\x00\x00\x18ftypmp42" + bytes(40)
                            else:
                                data = tiny_png()
                            files.append(("%s/%s/%s/%d%s" % (base, folder, digest, local_id, suffix), data))
        finally:
            con.close()
    return files


def messenger_entries(args, rng, summary):
    entries = [Entry(MESSENGER_DOMAIN, ""), Entry(MESSENGER_DOMAIN, "Documents"),
               Entry(MESSENGER_DOMAIN, "Library"), Entry(MESSENGER_DOMAIN, "Library/Preferences")]
    entries.append(Entry(MESSENGER_DOMAIN, "Library/Preferences/com.tencent.xin.plist",
                         plistlib.dumps({"LastLoginUin": rng.randrange(10**9)},
                                        fmt=plistlib.FMT_BINARY)))
    for index in range(args.accounts):
        user_name = "wxid_%s" % "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789")
                                        for _ in range(12))
        account_dir = md5_hex(user_name)
        settings = {
            "userName": user_name,
            "nickName": "测试用户%d" % (index + 1),
            "fifthString": "+86138%08d" % rng.randrange(10**8),
            "signature": "签名 %d: 今天天气很好" % (index + 1),
            "headImgUrl": "http://wx.qlogo.cn/mmhead/ver_1/%s/132" % sha1_hex(user_name)[:24],
        }
        contacts = ["wxid_friend%d_%d" % (index, n) for n in range(2)]
        base = "Documents/" + account_dir
        for directory in ("", "/DB", "/Img", "/Audio", "/Video"):
            entries.append(Entry(MESSENGER_DOMAIN, base + directory))
        for contact in contacts:
            for kind in ("Img", "Audio", "Video"):
                entries.append(Entry(MESSENGER_DOMAIN, "%s/%s/%s" % (base, kind, md5_hex(contact))))

        db_seed = args.seed * 10 + index
        if os.path.exists(MESSENGER_DB_TOOL) and not args.placeholder_db:
            truth = (os.path.join(args.truth_dir, account_dir + ".truth.json")
                     if args.truth_dir else None)
            db = generated_messenger_db(db_seed, args.profile, truth, args.target_mb, args.wal)
            source = "gen_messenger_db"
        else:
            db = placeholder_messenger_db(user_name, contacts, random.Random(db_seed))
            source = "placeholder"
        wal, shm = b"", None
        if isinstance(db, tuple):
            db, wal, shm = db
        entries.append(Entry(MESSENGER_DOMAIN, base + "/DB/MM.sqlite", db,
                             properties=[("com.apple.backup.note", b"\x00\x01\xfe")]))
        entries.append(Entry(MESSENGER_DOMAIN, base + "/DB/MM.sqlite-wal", wal))
        if shm is not None:
            entries.append(Entry(MESSENGER_DOMAIN, base + "/DB/MM.sqlite-shm", shm))
        entries.append(Entry(MESSENGER_DOMAIN, base + "/mmsetting.archive",
                             keyed_archive_settings(settings, rng)))
        media = media_files(account_dir, contacts, rng)
        if args.message_media > 0 and source == "gen_messenger_db":
            known = {path for path, _ in media}
            media += [item for item in message_media_files(account_dir, db, args.message_media)
                      if item[0] not in known]
        entries += [Entry(MESSENGER_DOMAIN, path, data) for path, data in media]
        summary["accounts"].append({
            "accountDir": account_dir,
            "databasePath": base + "/DB/MM.sqlite",
            "settingsPath": base + "/mmsetting.archive",
            "databaseSource": source,
            "settings": settings,
            "contacts": contacts,
            "media": [path for path, _ in media],
        })
    return entries


def decoy_entries(rng):
    """Files of other domains, one of them named like a messenger database."""
    return [
        Entry("HomeDomain", "Library/SMS"),
        Entry("HomeDomain", "Library/SMS/sms.db", b"SQLite format 3\x00" + rng.randbytes(100)),
        Entry("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG",
              b"\xff\xd8\xff\xe1" + rng.randbytes(200)),
        Entry("AppDomain-com.example.notes",
              "Documents/0123456789abcdef0123456789abcdef/DB/MM.sqlite",
              b"SQLite format 3\x00" + rng.randbytes(100)),
        Entry("AppDomainGroup-group.com.tencent.xin", "Library/Caches/MM.sqlite",
              b"SQLite format 3\x00" + rng.randbytes(100)),
    ]


# ---------------------------------------------------------------- encryption

PROTECTION_CLASSES = (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11)
FILE_CLASS = 4  # class D (no protection), as the records of unencrypted backups say
SHA1_ITERATIONS = 10000


def tlv(tag, value):
    if isinstance(value, int):
        value = struct.pack(">I", value)
    return tag.encode("ascii") + struct.pack(">I", len(value)) + value


class Encryption:
    """Keys of one encrypted backup, derived from --password and --seed."""

    def __init__(self, args):
        from cryptography.hazmat.primitives import keywrap  # only --encrypted needs it
        self.keywrap = keywrap
        self.rng = random.Random("keys-%d" % args.seed)
        self.without_key = args.without_key
        salt, dpsl = self.rng.randbytes(20), self.rng.randbytes(20)
        password = args.password.encode("utf-8")
        if args.legacy_kdf:
            derived = hashlib.pbkdf2_hmac("sha1", password, salt, SHA1_ITERATIONS, 32)
        else:
            first = hashlib.pbkdf2_hmac("sha256", password, dpsl, args.kdf_iterations, 32)
            derived = hashlib.pbkdf2_hmac("sha1", first, salt, SHA1_ITERATIONS, 32)
        self.class_keys = {c: self.rng.randbytes(32) for c in PROTECTION_CLASSES}
        bag = tlv("VERS", 3) + tlv("TYPE", 1) + tlv("UUID", self.rng.randbytes(16))
        bag += tlv("HMCK", self.rng.randbytes(40)) + tlv("WRAP", 0) + tlv("SALT", salt)
        bag += tlv("ITER", SHA1_ITERATIONS)
        if not args.legacy_kdf:
            bag += tlv("DPWT", 1) + tlv("DPIC", args.kdf_iterations) + tlv("DPSL", dpsl)
        for c in PROTECTION_CLASSES:
            bag += tlv("UUID", self.rng.randbytes(16)) + tlv("CLAS", c) + tlv("WRAP", 2)
            bag += tlv("KTYP", 0) + tlv("WPKY", keywrap.aes_key_wrap(derived, self.class_keys[c]))
        self.keybag = bag
        self.manifest_key_value = self.rng.randbytes(32)
        self.manifest_key = struct.pack("<I", FILE_CLASS) + keywrap.aes_key_wrap(
            self.class_keys[FILE_CLASS], self.manifest_key_value)
        self.file_keys = {}

    def file_key(self, e):
        """EncryptionKey of a file's record (4-byte little-endian class, wrapped key),
        or None when the record is to have none."""
        if self.without_key and e.path.endswith(self.without_key):
            return None
        if e.file_id not in self.file_keys:
            key = self.rng.randbytes(32)
            wrapped = self.keywrap.aes_key_wrap(self.class_keys[FILE_CLASS], key)
            self.file_keys[e.file_id] = (key, struct.pack("<I", FILE_CLASS) + wrapped)
        return self.file_keys[e.file_id][1]

    @staticmethod
    def encrypt(key, data):
        from cryptography.hazmat.primitives import padding
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        padder = padding.PKCS7(128).padder()
        padded = padder.update(data) + padder.finalize()
        encryptor = Cipher(algorithms.AES(key), modes.CBC(b"\x00" * 16)).encryptor()
        return encryptor.update(padded) + encryptor.finalize()

    def encrypt_file(self, e):
        key = self.file_keys.get(e.file_id)
        if key is None:  # no key in the record: the content is encrypted with one nobody has
            return self.encrypt(self.rng.randbytes(32), e.content)
        return self.encrypt(key[0], e.content)


# ---------------------------------------------------------------- manifests

def mbdb_string(data):
    if not data:
        return b"\xff\xff"
    return struct.pack(">H", len(data)) + data


def write_mbdb(path, entries, encryption):
    out = bytearray(b"mbdb\x05\x00")
    stamp = int(BASE_TIME.replace(tzinfo=datetime.timezone.utc).timestamp())
    for inode, e in enumerate(entries, start=1000):
        out += mbdb_string(e.domain.encode("utf-8"))
        out += mbdb_string(e.path.encode("utf-8"))
        out += mbdb_string(b"")  # link target
        out += mbdb_string(b"" if e.is_dir else hashlib.sha1(e.content).digest())
        key = encryption.file_key(e) if encryption and not e.is_dir else None
        out += mbdb_string(key or b"")
        out += struct.pack(">HQIIIIIQbb",
                           MODE_DIR if e.is_dir else MODE_FILE, inode, 501, 501,
                           stamp, stamp, stamp, 0 if e.is_dir else len(e.content),
                           0 if e.is_dir else 4, len(e.properties))
        for name, value in e.properties:
            out += mbdb_string(name.encode("utf-8")) + mbdb_string(value)
    with open(path, "wb") as f:
        f.write(bytes(out))


def file_blob(e, encryption=None):
    """The "file" column: a small keyed archive of the file's metadata; in an
    encrypted backup with EncryptionKey, an archived NSData of the wrapped key."""
    meta = {"$class": plistlib.UID(2), "Size": 0 if e.is_dir else len(e.content),
            "Mode": MODE_DIR if e.is_dir else MODE_FILE, "UserID": 501, "GroupID": 501,
            "RelativePath": plistlib.UID(3), "ProtectionClass": 0 if e.is_dir else 4}
    objects = ["$null", meta, {"$classname": "MBFile", "$classes": ["MBFile", "NSObject"]}, e.path]
    key = encryption.file_key(e) if encryption and not e.is_dir else None
    if key is not None:
        meta["EncryptionKey"] = plistlib.UID(4)
        objects += [{"$class": plistlib.UID(5), "NS.data": key},
                    {"$classname": "NSMutableData", "$classes": ["NSMutableData", "NSData", "NSObject"]}]
    archive = {"$archiver": "NSKeyedArchiver", "$version": 100000,
               "$top": {"root": plistlib.UID(1)}, "$objects": objects}
    return plistlib.dumps(archive, fmt=plistlib.FMT_BINARY)


def write_manifest_db(path, entries, encryption=None):
    con = sqlite3.connect(path)
    con.execute("PRAGMA journal_mode=DELETE")
    con.execute("CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT,"
                " flags INTEGER, file BLOB)")
    con.execute("CREATE INDEX FilesDomainIdx ON Files(domain)")
    con.execute("CREATE INDEX FilesRelativePathIdx ON Files(relativePath)")
    con.execute("CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB)")
    con.execute("INSERT INTO Properties VALUES ('salt', ?)", (b"\x00" * 20,))
    for e in entries:
        con.execute("INSERT INTO Files VALUES (?,?,?,?,?)",
                    (e.file_id, e.domain, e.path, FLAG_DIR if e.is_dir else FLAG_FILE,
                     file_blob(e, encryption)))
    con.commit()
    con.close()


# ---------------------------------------------------------------- backup

def write_backup(args):
    rng = random.Random(args.seed)
    udid = sha1_hex("device-%d" % args.seed)
    summary = {"backup": os.path.abspath(args.out), "udid": udid, "layout": args.layout,
               "encrypted": args.encrypted, "accounts": []}
    entries = messenger_entries(args, rng, summary) + decoy_entries(rng)

    os.makedirs(args.out, exist_ok=True)
    if os.listdir(args.out):
        sys.exit("gen_backup: %s is not empty" % args.out)

    device_name = args.device_name or "Test iPhone %d" % args.seed
    serial = "F%011d" % (args.seed * 7919 % 10**11)
    product_version = "9.3.5" if args.layout == "mbdb" else "15.7"
    info = {
        "Build Version": "13G36" if args.layout == "mbdb" else "19H12",
        "Device Name": device_name,
        "Display Name": device_name,
        "GUID": udid[:32].upper(),
        "Last Backup Date": BASE_TIME,
        "Product Name": "iPhone",
        "Product Type": "iPhone8,1",
        "Product Version": product_version,
        "Serial Number": serial,
        "Target Identifier": udid,
        "Target Type": "Device",
        "Unique Identifier": udid.upper(),
        "iTunes Version": "12.12.4.1",
    }
    with open(os.path.join(args.out, "Info.plist"), "wb") as f:
        plistlib.dump(info, f, fmt=plistlib.FMT_XML)

    manifest = {
        "IsEncrypted": args.encrypted,
        "Version": "9.1" if args.layout == "mbdb" else "10.0",
        "Date": BASE_TIME,
        "SystemDomainsVersion": "20.0" if args.layout == "mbdb" else "24.0",
        "WasPasscodeSet": False,
        "Lockdown": {"DeviceName": device_name, "ProductVersion": product_version,
                     "SerialNumber": serial, "UniqueDeviceID": udid},
        "Applications": {"com.tencent.xin": {"CFBundleIdentifier": "com.tencent.xin",
                                             "CFBundleVersion": "8.0.20"}},
    }
    encryption = Encryption(args) if args.encrypted else None
    if encryption:
        manifest["BackupKeyBag"] = encryption.keybag
        if args.layout == "db":
            manifest["ManifestKey"] = encryption.manifest_key
    with open(os.path.join(args.out, "Manifest.plist"), "wb") as f:
        plistlib.dump(manifest, f, fmt=plistlib.FMT_BINARY)
    with open(os.path.join(args.out, "Status.plist"), "wb") as f:
        plistlib.dump({"IsFullBackup": False, "Version": "3.3", "BackupState": "new",
                       "Date": BASE_TIME, "SnapshotState": "finished",
                       "UUID": udid[:8].upper()}, f, fmt=plistlib.FMT_BINARY)

    # Keys are made in manifest order, so the manifest is written first.
    if args.layout == "mbdb":
        write_mbdb(os.path.join(args.out, "Manifest.mbdb"), entries, encryption)
    elif encryption:
        with tempfile.TemporaryDirectory() as tmp:
            plain = os.path.join(tmp, "Manifest.db")
            write_manifest_db(plain, entries, encryption)
            with open(plain, "rb") as f:
                data = Encryption.encrypt(encryption.manifest_key_value, f.read())
        with open(os.path.join(args.out, "Manifest.db"), "wb") as f:
            f.write(data)
    else:
        write_manifest_db(os.path.join(args.out, "Manifest.db"), entries)

    for e in entries:
        if e.is_dir:
            continue
        content = encryption.encrypt_file(e) if encryption else e.content
        if args.layout == "mbdb":
            target = os.path.join(args.out, e.file_id)
        else:
            os.makedirs(os.path.join(args.out, e.file_id[:2]), exist_ok=True)
            target = os.path.join(args.out, e.file_id[:2], e.file_id)
        with open(target, "wb") as f:
            f.write(content)

    summary["deviceName"] = device_name
    summary["serialNumber"] = serial
    summary["lastBackupDate"] = BASE_TIME.strftime("%Y-%m-%dT%H:%M:%SZ")
    summary["files"] = sum(1 for e in entries if not e.is_dir)
    return summary


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True, help="backup directory to create")
    parser.add_argument("--layout", choices=("mbdb", "db"), default="db")
    parser.add_argument("--accounts", type=int, choices=(1, 2), default=1)
    parser.add_argument("--encrypted", action="store_true",
                        help="write an encrypted backup (needs the cryptography package)")
    parser.add_argument("--password", default="password", help="password of an encrypted backup")
    parser.add_argument("--kdf-iterations", type=int, default=10000000,
                        help="PBKDF2-HMAC-SHA256 iterations (DPIC) of an encrypted backup; iOS writes 10,000,000")
    parser.add_argument("--legacy-kdf", action="store_true",
                        help="derive the key as before iOS 10.2: PBKDF2-HMAC-SHA1 alone")
    parser.add_argument("--without-key", metavar="TEXT",
                        help="encrypted: no key in the records of paths ending with TEXT")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--target-mb", type=int, default=None,
                        help="passed to gen_messenger_db.py: grow each MM.sqlite to about this size")
    parser.add_argument("--profile", choices=("tiny", "small", "large"), default="tiny",
                        help="passed to gen_messenger_db.py")
    parser.add_argument("--wal", action="store_true",
                        help="passed to gen_messenger_db.py: the database in WAL mode, with its "
                             "MM.sqlite-wal and MM.sqlite-shm in the backup")
    parser.add_argument("--placeholder-db", action="store_true",
                        help="use the small placeholder MM.sqlite even when gen_messenger_db.py exists")
    parser.add_argument("--truth-dir", help="copy each account's truth.json here as <accountDir>.truth.json")
    parser.add_argument("--message-media", type=int, default=0, metavar="N",
                        help="also write the media of the first N live picture, voice and video messages "
                             "of every conversation, so that pages show and play them")
    parser.add_argument("--device-name", help="Device Name in Info.plist")
    args = parser.parse_args(argv)
    if args.truth_dir:
        os.makedirs(args.truth_dir, exist_ok=True)
    summary = write_backup(args)
    json.dump(summary, sys.stdout, ensure_ascii=False, indent=1)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
