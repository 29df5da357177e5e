#!/usr/bin/python3
"""Synthetic iOS messenger database (MM.sqlite) generator with ground truth.

Usage:
    python3 tools/gen_messenger_db.py --out DIR [--seed N] [--profile tiny|small|large]
                                      [--target-mb M] [--messages N] [--single-table]
                                      [--page-size BYTES] [--wal] [--drop-cases]
                                      [--secure-delete]

Writes DIR/MM.sqlite and DIR/truth.json and prints one summary line.

Profiles:
    tiny   about 5 conversations and 100 messages (unit tests, well under a second)
    small  about 20 conversations and 3000 messages (end-to-end tests, about a second)
    large  about 60 conversations; grows until the file reaches --target-mb (default 64)
--messages N   messages to insert: about 95% before the deletions, 5% after them.
--target-mb M  keep adding rounds of messages until the file holds about M megabytes, then
               delete and add 2% more (any profile; overrides the profile's message count).
--single-table one contact and one conversation table only, about 40% of its rows deleted
               (page-engine carving benchmark, e.g. --target-mb 64).
--wal          then switch to WAL mode and write, never checkpointed: messages of which every
               second one is deleted again (their rows only in older frames of MM.sqlite-wal),
               then recent messages only the log holds; MM.sqlite-shm is written too. Messages
               get "wal": true when the log holds them.

--page-size BYTES  page size of the file, 1024 to 65536 (default 4096).
--drop-cases   besides the profile's dropped conversations, four more, each a shape a carver
               has to handle ("dropCase" in truth):
                 oneLeaf      a table of a single leaf page; owner kept as a live contact
                 twoLevels    two b-tree levels; the owner a stranger never saved as a contact,
                              text messages only: the user name is nowhere in the file
                 threeLevels  three levels (rows of one leaf page each; left out past 16 KiB
                              pages, where that takes tens of megabytes: "dropCasesSkipped");
                              owner deleted with it, named in a live group's member list
                 schemaGone   dropped with the profile's ones, then new conversations are
                              opened until their schema records have overwritten its one
                              (a live conversation created right after it makes its freed
                              record the first freeblock they fill); owner kept as a live
                              contact
               oneLeaf, twoLevels and threeLevels are dropped last of all, after the later
               inserts, so that their pages and schema records stay as the drop left them.
               They draw from random generators of their own: the profile's contacts,
               messages and deletions stay as without the option. Their contacts (and the
               group) come after the profile's ones in "friends".
--secure-delete  PRAGMA secure_delete=ON for every deletion (also in the --wal phase): freed
               cells and pages are zeroed, no deleted text is left in MM.sqlite.

Output is a pure function of the seed and the options: no clock values,
deterministic iteration. The same SQLite library version gives byte-identical files.

The database is built the way the messenger builds it: contacts in `Friend` (declared with
blanks around the commas, ShortPY stored as BLOB) and `Friend_Ext`, one table per conversation
named "Chat_" + MD5 hex of the user name with an index on CreateTime, a session table, a small
config table and sqlite_sequence (AUTOINCREMENT). Messages of every type the renderer knows,
members' messages in chat rooms prefixed by "<member>:\n". Deletions run with secure_delete
OFF and no vacuum: single messages, whole conversations (DROP TABLE + contact rows) and
contacts; afterwards a few more inserts and contact updates reuse part of the freed space.

truth.json:
    {"seed", "pageSize", "profile", "singleTable", "owner", "secureDelete",
     "dropCases": {case: table}, "dropCasesSkipped": {case: why},
     "friends": [{usrName, md5, kind: friend|chatroom|official, nickName, uin, email, mobile,
                  sex, fullPY, shortPY (stored as a BLOB of these ASCII bytes), img, type,
                  lastChatTime, draft, tableVer, hasExt, conRemark, conChatRoomMem, conIntRes1,
                  conStrRes2, headImgUrl, headImgHDUrl, country, province, city, sign,
                  deleted, overwrittenLikely}],
     "conversations": [{usrName, table, kind, dropped, createdLate, members, schemaSurvives,
                        levels, ownerNamedInFile, dropCase}],
     "messages": [{table, usrName, mesLocalId, mesSvrId, createTime, message, status,
                   imgStatus, type, des, tableVer, sender, taggedUserName, deleted,
                   overwrittenLikely, textWhole, proven, late}]}
des: 0 = sent by the owner, 1 = received. overwrittenLikely (deleted rows only, else false):
some byte of the row's stored payload (leaf cell after its first four bytes, which the delete
itself overwrites, and its overflow pages) differs in the final file from what was there just
before the delete, i.e. later writes reused part of its space.
textWhole (deleted rows only, else false): every byte of the stored Message value (located
through the record header, on the leaf and across overflow pages) is unchanged in the final
file: the messages a carver can give back byte for byte at most. Rows deleted in the --wal
phase count as whole: older frames of the log keep them.
proven (deleted rows only, else false): the final file still shows which conversation the row
belonged to. Of a table that survives: the page the row lived on is still a page of that
table's b-tree (rows deleted in the --wal phase: always). Of a dropped table: its schema record
survives (schemaSurvives) and the leaf still hangs under the root: each child pointer on the
way down (the right-child field or the cell-pointer slot and the cell's first four bytes) and
the header of every interior page below the root unchanged (DROP TABLE may leave the root's
first eight header bytes as an empty leaf's), and the leaf and the pages above it are all
freelist leaf pages, neither in use again nor freelist trunks. A table of a single leaf page:
schema record and an unused root.
schemaSurvives (dropped conversations, else null): the values of the table's sqlite_master
record as stored before the drop ("table", name, tbl_name, rootpage, sql; the cell's first four
bytes may have become a freeblock header) occur somewhere in the final file, also as a stale
copy a page split left behind.
levels: b-tree levels of the table (1: the root is a leaf), at the drop for dropped ones.
ownerNamedInFile: the user name's UTF-8 bytes occur anywhere in the final file.
"Final file" is MM.sqlite as the main phase leaves it; the --wal phase only writes the log.
Texts in truth.json are exactly the stored UTF-8 texts.
"""

import argparse
import contextlib
import hashlib
import json
import os
import random
import sqlite3
import sys
import time

PAGE_SIZE = 4096
T_START = 1451606400  # 2016-01-01 00:00:00 UTC
T_END = 1609459199    # 2020-12-31 23:59:59 UTC

PROFILES = {
    #            friends chatrooms officials conversations dropped lonelyDeleted messages
    "tiny": dict(friends=6, chatrooms=1, officials=1, conversations=5, dropped=1,
                 deleted_contacts=1, messages=100, rounds=3, target_mb=None),
    "small": dict(friends=40, chatrooms=4, officials=4, conversations=20, dropped=3,
                  deleted_contacts=4, messages=3000, rounds=4, target_mb=None),
    "large": dict(friends=200, chatrooms=12, officials=10, conversations=60, dropped=6,
                  deleted_contacts=10, messages=None, rounds=None, target_mb=64),
}

FRIEND_DDL = ("CREATE TABLE Friend ( TableVer INTEGER DEFAULT 1 , UsrName TEXT PRIMARY KEY , "
              "NickName TEXT , Uin INTEGER DEFAULT 0 , Email TEXT , Mobile TEXT , "
              "Sex INTEGER DEFAULT 0 , FullPY TEXT , ShortPY TEXT , Img TEXT , "
              "Type INTEGER DEFAULT 0 , LastChatTime INTEGER DEFAULT 0 , Draft TEXT , "
              "DefaultRes1 INTEGER DEFAULT 0 , DefaultRes2 INTEGER DEFAULT 0 , DefaultRes3 TEXT )")
FRIEND_EXT_DDL = ("CREATE TABLE Friend_Ext ( UsrName TEXT PRIMARY KEY , ConRemark TEXT , "
                  "ConRemarkPYFull TEXT , ConRemarkPYShort TEXT , ConDomainList TEXT , "
                  "ConChatRoomMem TEXT , ConIntRes1 INTEGER DEFAULT 0 , "
                  "ConIntRes2 INTEGER DEFAULT 0 , ConIntRes3 INTEGER DEFAULT 0 , "
                  "ConStrRes1 TEXT , ConStrRes2 TEXT , ConStrRes3 TEXT , "
                  "ConChatRoomStatus INTEGER DEFAULT 0 , ChatRoomData BLOB )")
SESSION_DDL = ("CREATE TABLE SessionAbstract ( UsrName TEXT PRIMARY KEY , "
               "CreateTime INTEGER DEFAULT 0 , UnreadCount INTEGER DEFAULT 0 , "
               "LastMessageType INTEGER DEFAULT 0 , LastMessage TEXT , Status INTEGER DEFAULT 0 , "
               "ConStrRes1 TEXT )")
CONFIG_DDL = "CREATE TABLE DBConfig ( Key TEXT PRIMARY KEY , Value TEXT )"
CHAT_DDL = ("CREATE TABLE {t}(TableVer integer default 1, MesLocalID integer primary key "
            "autoincrement, MesSvrID integer default 0, CreateTime integer default 0, "
            "Message text, Status integer default 0, ImgStatus integer default 2, "
            "Type integer, Des integer)")
CHAT_INDEX_DDL = "CREATE INDEX {t}_index ON {t}(CreateTime)"

ALNUM = "abcdefghijklmnopqrstuvwxyz0123456789"
HEX = "0123456789abcdef"

PINYIN = {
    "王": "wang", "李": "li", "张": "zhang", "刘": "liu", "陈": "chen", "杨": "yang",
    "黄": "huang", "赵": "zhao", "吴": "wu", "周": "zhou", "徐": "xu", "孙": "sun", "马": "ma",
    "朱": "zhu", "胡": "hu", "郭": "guo", "何": "he", "林": "lin", "高": "gao", "罗": "luo",
    "伟": "wei", "芳": "fang", "娜": "na", "敏": "min", "静": "jing", "丽": "li", "强": "qiang",
    "磊": "lei", "军": "jun", "洋": "yang", "勇": "yong", "艳": "yan", "杰": "jie", "娟": "juan",
    "涛": "tao", "明": "ming", "超": "chao", "秀": "xiu", "霞": "xia", "平": "ping", "刚": "gang",
    "小": "xiao", "晓": "xiao", "华": "hua", "红": "hong", "文": "wen", "海": "hai", "鹏": "peng",
    "飞": "fei", "雪": "xue", "梅": "mei", "云": "yun", "婷": "ting", "琳": "lin", "欣": "xin",
    "宇": "yu", "浩": "hao", "子": "zi", "萱": "xuan", "阿": "a", "老": "lao",
}
SURNAMES = "王李张刘陈杨黄赵吴周徐孙马朱胡郭何林高罗"
GIVEN = "伟芳娜敏静丽强磊军洋勇艳杰娟涛明超秀霞平刚华红文海鹏飞雪梅云婷琳欣宇浩子萱"
ENGLISH = ["Lily", "Kevin", "Amy", "Jason", "Cherry", "Leo", "Tony", "Vivian", "Echo", "Sam"]
NICK_EMOJI = ["🍀", "🌸", "🐟", "☀️", "🎈", "🐱", "✨"]
CHATROOM_NAMES = [
    ("相亲相爱一家人", "xiangqinxiangaiyijiaren"), ("大学同学群", "daxuetongxuequn"),
    ("项目组沟通群", "xiangmuzugoutongqun"), ("周末羽毛球", "zhoumoyumaoqiu"),
    ("深圳租房群", "shenzhenzufangqun"), ("", ""), ("公司年会筹备", "gongsinianhuichoubei"),
    ("跑步打卡", "paobudaka"), ("读书会", "dushuhui"), ("高中同学", "gaozhongtongxue"),
    ("篮球队", "lanqiudui"), ("旅行小分队", "lvxingxiaofendui"),
]
OFFICIAL_NAMES = [
    ("腾讯新闻", "tengxunxinwen"), ("招商银行信用卡", "zhaoshangyinhangxinyongka"),
    ("微信支付", "weixinzhifu"), ("人民日报", "renminribao"), ("深圳交警", "shenzhenjiaojing"),
    ("中国移动", "zhongguoyidong"), ("丁香医生", "dingxiangyisheng"),
    ("顺丰速运", "shunfengsuyun"), ("微信运动", "weixinyundong"), ("京东JD.COM", "jingdongjd.com"),
]
REGIONS = [("CN", "Guangdong", "Shenzhen"), ("CN", "Guangdong", "Guangzhou"),
           ("CN", "Beijing", "Haidian"), ("CN", "Shanghai", "Pudong New District"),
           ("CN", "Zhejiang", "Hangzhou"), ("CN", "Sichuan", "Chengdu"), ("US", "California", "San Jose"),
           ("", "", "")]
SIGNS = ["生活不止眼前的苟且", "Stay hungry, stay foolish.", "努力工作 认真生活 🌱",
         "rock &amp; roll", "心若向阳，无畏悲伤", "", "专注前端开发 10 年"]
PHRASES = [
    "你好", "在吗？", "晚上一起吃饭吧", "好的，没问题", "哈哈哈哈", "我到了，你在哪儿？",
    "明天几点开会？", "收到", "谢谢！", "辛苦了", "周末有空吗", "这个价格可以再便宜点吗",
    "刚下班，累死了", "路上堵车，晚点到", "生日快乐🎂", "新年快乐，万事如意！", "早上好☀️",
    "文件我发你邮箱了", "今天天气真不错", "孩子今天发烧了，请一天假", "我们下周去杭州玩吧",
    "已转账，请查收", "好久不见，最近怎么样？", "这个周五的电影票我买好了", "记得带伞",
    "OK", "sounds good 👍", "Let me check and get back to you.", "on my way", "lol",
    "[微笑]", "[呲牙]", "[捂脸]", "[强]", "[玫瑰]", "[抱拳]", "😂😂😂", "👍", "🙏", "❤️",
    "晚安🌙", "你先忙", "等我五分钟", "那就这么定了", "发个定位给我", "价格是 ¥299",
    "快递到了吗", "我在楼下等你", "会议改到三点半了", "请大家准时参加", "报名截止到周三",
]
# Texts stored as typed that a careless cleaning would change: tabs, carriage returns,
# emoji sequences (joiner, variation selector, skin tone, flag tags), characters beyond
# the first plane. Drawn from a generator of their own, so the other draws stay as they were.
AS_TYPED = [
    "单价\t数量\t金额\n12.5\t2\t25.0", "第一行\r\n第二行", "👨\u200d👩\u200d👧 全家福", "👍🏽 收到",
    "🏴\U000e0067\U000e0062\U000e0073\U000e0063\U000e0074\U000e007f 苏格兰", "𠀀𠀁 生僻字", "❤️\t❤️",
]
LONG_PARAGRAPHS = [
    "转发：关于做好近期疫情防控工作的通知。各位业主，为切实做好小区疫情防控工作，"
    "请大家进出小区主动出示健康码并配合测量体温，非本小区人员及车辆一律不得进入。"
    "快递外卖请在门口指定区域自取，减少人员聚集。感谢大家的理解与支持！",
    "会议纪要：一、项目进度：前端完成登录、列表和详情页面，后端接口联调中；二、风险："
    "第三方支付接口文档不完整，需要商务尽快沟通；三、下周计划：完成测试用例编写，"
    "周四提测，周五上线预发布环境。请各位负责人确认各自任务并在群里回复。",
    "Long story short: the flight was delayed for three hours, we missed the connection in "
    "Hong Kong, spent the night at the airport hotel and finally arrived in Chengdu this "
    "morning. The food here is amazing though 🌶️🌶️🌶️ and the pandas were worth it. ",
]
LINK_TITLES = [
    "深圳这10个周末去处，本地人都说好", "2019年个税改革，这些变化你一定要知道",
    "程序员的自我修养：如何写出可维护的代码", "这才是孩子最需要的家庭教育",
    "世界杯半决赛前瞻", "手把手教你做红烧肉", "How SQLite stores data on disk",
]
POIS = [("22.543099", "114.057868", "广东省深圳市福田区深南大道", "市民中心"),
        ("39.908823", "116.397470", "北京市东城区东长安街", "天安门广场"),
        ("31.239666", "121.499809", "上海市浦东新区陆家嘴环路1000号", "上海中心大厦"),
        ("30.259244", "120.219375", "浙江省杭州市西湖区龙井路1号", "西湖风景名胜区")]
SYSTEM_TEMPLATES = [
    "你已添加了{n}，现在可以开始聊天了。",
    "\"{n}\" 撤回了一条消息",
    "你撤回了一条消息",
    "以上是打招呼的内容",
    "\"{n}\"邀请\"{m}\"加入了群聊",
    "<img src=\"SystemMessages_HongbaoIcon.png\"/>  你领取了{n}的<_wc_custom_link_ "
    "color=\"#FD9931\" href=\"weixin://weixinhongbao/opendetail?sendid={id}&amp;sign=x\">红包"
    "</_wc_custom_link_>",
    "{n}开启了朋友验证，你还不是他（她）朋友。请先发送朋友验证请求，对方验证通过后，才能聊天。"
    "<a href=\"weixin://findfriend/verifycontact\">发送朋友验证</a>",
    "<a href=\"weixin://revoke\">撤回</a> 消息已发出，但被对方拒收了。",
]

# Message type mix per conversation kind: (type, weight)
TYPE_MIX = {
    "friend": [(1, 58), (3, 10), (34, 8), (42, 1), (43, 3), (47, 7), (48, 2), (49, 5), (4920, 2),
               (50, 3), (10000, 1)],
    "chatroom": [(1, 60), (3, 11), (34, 6), (42, 1), (43, 3), (47, 9), (48, 1), (49, 5), (4920, 2),
                 (10000, 2)],
    "official": [(1, 25), (49, 70), (3, 5)],
}


def md5hex(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def xml_escape(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def read_varint(data, pos):
    v = 0
    for i in range(8):
        b = data[pos + i]
        v = (v << 7) | (b & 0x7F)
        if not b & 0x80:
            return v, pos + i + 1
    return (v << 8) | data[pos + 8], pos + 9


def page_geometry(data):
    """Page size and usable size of the image `data`, read from its header."""
    size = int.from_bytes(data[16:18], "big")
    size = 65536 if size == 1 else size
    return size, size - data[20]


def page_header(data, pg):
    """File offsets of page `pg` and of its b-tree header (after the file header on page 1)."""
    base = (pg - 1) * page_geometry(data)[0]
    return base, base + (100 if pg == 1 else 0)


def table_rowid_cells(data, root):
    """Map rowid -> (page, cell offset in the file) for one table b-tree of the image `data`."""
    result = {}
    stack = [root]
    while stack:
        pg = stack.pop()
        base, hdr = page_header(data, pg)
        kind = data[hdr]
        ncell = int.from_bytes(data[hdr + 3:hdr + 5], "big")
        if kind == 13:
            ptr = hdr + 8
            for i in range(ncell):
                off = base + int.from_bytes(data[ptr + 2 * i:ptr + 2 * i + 2], "big")
                _, p = read_varint(data, off)
                rowid, _ = read_varint(data, p)
                result[rowid] = (pg, off)
        elif kind == 5:
            ptr = hdr + 12
            stack.append(int.from_bytes(data[hdr + 8:hdr + 12], "big"))
            for i in range(ncell):
                off = base + int.from_bytes(data[ptr + 2 * i:ptr + 2 * i + 2], "big")
                stack.append(int.from_bytes(data[off:off + 4], "big"))
    return result


def payload_spans(data, off):
    """File ranges (start, end) holding the payload of the table leaf cell at `off`, in payload
    order: the part on the leaf page, then the content of every overflow page of the chain."""
    page_size, usable = page_geometry(data)
    max_local = usable - 35
    min_local = (usable - 12) * 32 // 255 - 23
    payload, p = read_varint(data, off)
    _, p = read_varint(data, p)
    if payload <= max_local:
        return [(p, p + payload)]
    local = min_local + (payload - min_local) % (usable - 4)
    if local > max_local:
        local = min_local
    spans = [(p, p + local)]
    left = payload - local
    nxt = int.from_bytes(data[p + local:p + local + 4], "big")
    while left > 0 and nxt:
        base = (nxt - 1) * page_size
        n = min(left, usable - 4)
        spans.append((base + 4, base + 4 + n))
        left -= n
        nxt = int.from_bytes(data[base:base + 4], "big")
    return spans


def cell_pieces(data, off):
    """File ranges (start, end) holding the payload of the table leaf cell at `off`: the part
    on the leaf page after the cell's first four bytes (which a delete overwrites with a
    freeblock header) and the content of every overflow page of the chain."""
    spans = payload_spans(data, off)
    first = (max(off + 4, spans[0][0]), spans[0][1])
    return ([first] if first[1] > first[0] else []) + spans[1:]


def snapshot(data, loc):
    """The bytes a row occupies before it is deleted, to compare with the final file."""
    if loc is None:
        return None
    return [(a, data[a:b]) for a, b in cell_pieces(data, loc[1])]


def intact(data, snap):
    return bool(snap) and all(data[a:a + len(b)] == b for a, b in snap)


def serial_size(serial):
    return (serial - 12) // 2 if serial >= 12 else (0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0)[serial]


def record_serials(payload):
    """Header size and serial types of a record whose payload starts with `payload`."""
    size, p = read_varint(payload, 0)
    serials = []
    while p < size:
        serial, p = read_varint(payload, p)
        serials.append(serial)
    return size, serials


def value_spans(data, off, column):
    """File ranges holding the value of `column` in the record of the table leaf cell at `off`
    (the local part and the overflow pages it runs across) and the value's serial type."""
    spans = payload_spans(data, off)
    size, serials = record_serials(data[spans[0][0]:spans[0][1]])  # the header is local
    start = size + sum(serial_size(t) for t in serials[:column])
    end = start + serial_size(serials[column])
    result, pos = [], 0
    for a, b in spans:
        lo, hi = max(start, pos), min(end, pos + b - a)
        if lo < hi:
            result.append((a + lo - pos, a + hi - pos))
        pos += b - a
    return result, serials[column]


def text_snapshot(data, loc, column=4):
    """The stored bytes of the text in `column` of the row at `loc` (page, cell offset), as
    (file offset, bytes) pieces; a Chat_ table keeps Message in column 4."""
    if loc is None:
        return None
    spans, serial = value_spans(data, loc[1], column)
    if serial < 13 or not serial & 1:
        return None
    return [(a, data[a:b]) for a, b in spans]


def record_values(data, off):
    """Values of the record in the table leaf cell at `off`, and the payload bytes after the
    record header (the values as stored)."""
    payload = b"".join(data[a:b] for a, b in payload_spans(data, off))
    size, serials = record_serials(payload)
    values, pos = [], size
    for t in serials:
        n = serial_size(t)
        raw = payload[pos:pos + n]
        if t >= 13 and t & 1:
            values.append(raw.decode("utf-8", "replace"))
        elif 1 <= t <= 6:
            values.append(int.from_bytes(raw, "big", signed=True))
        elif t in (8, 9):
            values.append(t - 8)
        else:
            values.append(None if t == 0 else raw)
        pos += n
    return values, payload[size:]


def schema_entries(data):
    """sqlite_master of the image `data`: name -> (type, rootpage, values as stored)."""
    result = {}
    for _, off in table_rowid_cells(data, 1).values():
        values, stored = record_values(data, off)
        if len(values) >= 4 and isinstance(values[1], str):
            result[values[1]] = (values[0], values[3], stored)
    return result


def btree_pages(data, root):
    """Interior and leaf pages of the table or index b-tree rooted at `root`."""
    pages, stack = set(), [root]
    while stack:
        pg = stack.pop()
        if pg in pages:
            continue
        pages.add(pg)
        base, hdr = page_header(data, pg)
        if data[hdr] in (2, 5):
            stack.append(int.from_bytes(data[hdr + 8:hdr + 12], "big"))
            for i in range(int.from_bytes(data[hdr + 3:hdr + 5], "big")):
                ptr = hdr + 12 + 2 * i
                off = base + int.from_bytes(data[ptr:ptr + 2], "big")
                stack.append(int.from_bytes(data[off:off + 4], "big"))
    return pages


def tree_depth(data, root):
    """Levels of the b-tree rooted at `root`: 1 when the root is a leaf."""
    levels, pg = 1, root
    while True:
        _, hdr = page_header(data, pg)
        if data[hdr] not in (2, 5):
            return levels
        levels += 1
        pg = int.from_bytes(data[hdr + 8:hdr + 12], "big")


def leaf_chains(data, root):
    """For each leaf of the table b-tree rooted at `root`: the pages above it, and the bytes
    that lead from the root down to it, as (file offset, bytes) pieces. On every interior
    page that is the child pointer followed (the right-child field of the header, or the
    cell-pointer slot and the cell's first four bytes); below the root also the page's
    12-byte header. The root's header is left out: DROP TABLE makes the root an empty leaf
    (its first eight header bytes) before freeing it, which reaches the file or not; its
    right-child field, cell pointers and cells stay."""
    result = {}
    stack = [(root, [], [])]
    while stack:
        pg, above, kept = stack.pop()
        base, hdr = page_header(data, pg)
        if data[hdr] != 5:
            result[pg] = (above, kept)
            continue
        own = kept + ([] if pg == root else [(hdr, data[hdr:hdr + 12])])
        stack.append((int.from_bytes(data[hdr + 8:hdr + 12], "big"), above + [pg],
                      own + [(hdr + 8, data[hdr + 8:hdr + 12])]))
        for i in range(int.from_bytes(data[hdr + 3:hdr + 5], "big")):
            ptr = hdr + 12 + 2 * i
            off = base + int.from_bytes(data[ptr:ptr + 2], "big")
            stack.append((int.from_bytes(data[off:off + 4], "big"), above + [pg],
                          own + [(ptr, data[ptr:ptr + 2]), (off, data[off:off + 4])]))
    return result


def freelist_pages(data):
    """Trunk pages and leaf pages of the freelist of the image `data`."""
    page_size = page_geometry(data)[0]
    trunks, leaves = set(), set()
    trunk = int.from_bytes(data[32:36], "big")
    while trunk and trunk not in trunks and trunk * page_size <= len(data):
        trunks.add(trunk)
        base = (trunk - 1) * page_size
        n = int.from_bytes(data[base + 4:base + 8], "big")
        for i in range(min(n, page_size // 4 - 2)):
            leaves.add(int.from_bytes(data[base + 8 + 4 * i:base + 12 + 4 * i], "big"))
        trunk = int.from_bytes(data[base:base + 4], "big")
    return trunks, leaves


def chain_holds(data, leaf, chain, free_leaves):
    """The leaf of a dropped table still hangs under its root in the image `data`: every byte
    of its chain (see leaf_chains) is unchanged and neither the leaf nor a page above it is in
    use again or a freelist trunk. In a sound file a page is on the freelist or in some b-tree
    (an overflow page belongs to one), so both come down to: all of them are freelist leaf
    pages."""
    above, kept = chain
    return (all(data[a:a + len(b)] == b for a, b in kept)
            and all(p in free_leaves for p in above + [leaf]))


class Generator:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed
        self.rng = random.Random(args.seed)
        self.typed_rng = random.Random(args.seed * 7919 + 1)
        self.single = args.single_table
        self.profile_name = args.profile
        p = dict(PROFILES[args.profile])
        if self.single:
            p.update(friends=1, chatrooms=0, officials=0, conversations=1, dropped=0,
                     deleted_contacts=0)
            if p["messages"] is None:
                p["messages"] = 3000
        self.p = p
        self.target_bytes = None
        target_mb = args.target_mb if args.target_mb is not None else p["target_mb"]
        if target_mb is not None:
            self.target_bytes = int(target_mb * 1024 * 1024)
        self.total_messages = args.messages if args.messages is not None else p["messages"]
        if self.target_bytes is not None and args.messages is None:
            # Rough estimate (about 330 file bytes per message incl. index and slack) used
            # only to spread the creation times; the rounds stop on the real file size.
            self.total_messages = max(100, self.target_bytes // 330)
        self.used_names = set()
        self.used_svr_ids = set()
        self.friends = []        # contact dicts in insertion order
        self.convs = []          # conversation dicts
        self.messages = []       # message lists (see add_message)
        self.conn = None
        self.wal = bool(getattr(args, "wal", False))
        self.secure_delete = bool(getattr(args, "secure_delete", False))
        # The drop cases draw from generators of their own, so that the profile's contacts,
        # messages and deletions come out as they do without them.
        self.drop_cases = bool(getattr(args, "drop_cases", False))
        self.case_rng = random.Random(args.seed * 104729 + 17)
        self.case_typed_rng = random.Random(args.seed * 104729 + 18)
        self.case_friends = []   # contacts made for the drop cases, after self.friends in truth
        self.cases = {}          # case name -> conversation
        self.cases_skipped = {}  # case name -> why it is not in this file
        self.keeper = None       # the live conversation after the schemaGone case

    # ---------- names and contacts ----------
    def rand_str(self, alphabet, n):
        return "".join(self.rng.choice(alphabet) for _ in range(n))

    def unique(self, make):
        while True:
            name = make()
            if name not in self.used_names:
                self.used_names.add(name)
                return name

    def make_wxid(self):
        r = self.rng.random()
        if r < 0.7:
            return self.unique(lambda: "wxid_" + self.rand_str(ALNUM, 14))
        if r < 0.9:
            return self.unique(lambda: self.rng.choice(["zhang", "li", "amy", "kevin", "xiao",
                                                        "chen", "wang", "leo"])
                               + self.rng.choice(["_", "", "-"]) + str(self.rng.randint(1, 99999)))
        return self.unique(lambda: self.rand_str("abcdefghijklmnopqrstuvwxyz", 6)
                           + str(self.rng.randint(1980, 2005)))

    def person_name(self):
        r = self.rng.random()
        if r < 0.55:
            n = self.rng.choice(SURNAMES) + "".join(self.rng.choice(GIVEN)
                                                     for _ in range(self.rng.randint(1, 2)))
        elif r < 0.7:
            n = self.rng.choice(["小", "阿", "老"]) + self.rng.choice(SURNAMES + GIVEN)
        elif r < 0.85:
            n = self.rng.choice(ENGLISH)
        else:
            n = self.rng.choice(SURNAMES) + self.rng.choice(GIVEN) + self.rng.choice(NICK_EMOJI)
        return n

    @staticmethod
    def pinyin(name):
        out = []
        for ch in name:
            if ch in PINYIN:
                out.append(PINYIN[ch])
            elif ch.isascii() and ch.isalnum():
                out.append(ch.lower())
        return "".join(out)

    @staticmethod
    def initials(name):
        out = []
        for ch in name:
            if ch in PINYIN:
                out.append(PINYIN[ch][0])
            elif ch.isascii() and ch.isalpha():
                out.append(ch.lower())
        return "".join(out)

    def head_urls(self):
        key = self.rand_str("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 40)
        return ("http://wx.qlogo.cn/mmhead/ver_1/%s/132" % key,
                "http://wx.qlogo.cn/mmhead/ver_1/%s/0" % key)

    def new_contact(self, kind, name=None, nick=None, fullpy=None, late=False):
        rng = self.rng
        if kind == "friend":
            usr = name or self.make_wxid()
            nick = self.person_name() if nick is None else nick
            fullpy = self.pinyin(nick)
        elif kind == "chatroom":
            usr = self.unique(lambda: "%d@chatroom" % rng.randint(1000000000, 99999999999))
        else:
            usr = self.unique(lambda: "gh_" + self.rand_str(HEX, 12))
        short = self.initials(nick)
        c = {
            "usrName": usr, "md5": md5hex(usr), "kind": kind, "tableVer": 1,
            "nickName": nick, "uin": 0, "email": None, "mobile": None, "sex": 0,
            "fullPY": fullpy, "shortPY": short, "img": None,
            "type": {"friend": 3, "chatroom": 2, "official": 3}[kind],
            "lastChatTime": 0, "draft": None,
            "hasExt": True, "conRemark": None, "conChatRoomMem": None, "conIntRes1": 0,
            "conStrRes2": None, "headImgUrl": None, "headImgHDUrl": None, "country": None,
            "province": None, "city": None, "sign": None,
            "deleted": False, "overwrittenLikely": False, "late": late, "members": [],
        }
        if kind == "friend":
            c["uin"] = rng.randint(100000, 2147483647) if rng.random() < 0.6 else 0
            c["sex"] = rng.choice([0, 1, 1, 2, 2])
            if rng.random() < 0.2:
                c["email"] = self.rand_str("abcdefghijklmnopqrstuvwxyz", 6) + "@qq.com"
            if rng.random() < 0.3:
                c["mobile"] = "1" + rng.choice("3578") + self.rand_str("0123456789", 9)
            if rng.random() < 0.75:
                c["img"] = self.rand_str(HEX, 32)
            if rng.random() < 0.1:
                c["draft"] = rng.choice(["明天见", "那个文件", "好的，我晚点"])
            c["conIntRes1"] = rng.choice([1, 1, 3, 65537])
            if rng.random() < 0.35:
                c["conRemark"] = self.rng.choice(SURNAMES) + self.rng.choice(
                    ["总", "老师", "经理", "师傅", "姐", "哥"])
            if rng.random() < 0.08:
                c["hasExt"] = False
        elif kind == "official":
            c["img"] = self.rand_str(HEX, 32)
        if c["hasExt"]:
            small, big = self.head_urls()
            region = rng.choice(REGIONS) if kind != "chatroom" else ("", "", "")
            sign = rng.choice(SIGNS) if kind == "friend" else (
                "提供最新资讯与服务" if kind == "official" else "")
            r = rng.random()
            if r < 0.05:
                c["conStrRes2"] = None
            else:
                empty_head = r < 0.1
                parts = ["<sex>%d</sex>" % c["sex"]]
                parts.append("<HeadImgUrl></HeadImgUrl>" if empty_head
                             else "<HeadImgUrl>%s</HeadImgUrl>" % small)
                parts.append("<HeadImgHDUrl>%s</HeadImgHDUrl>" % ("" if empty_head else big))
                for tag, val in zip(("country", "province", "city"), region):
                    parts.append("<%s>%s</%s>" % (tag, val, tag))
                parts.append("<sign>%s</sign>" % sign)
                c["conStrRes2"] = "".join(parts)
                if not empty_head:
                    c["headImgUrl"], c["headImgHDUrl"] = small, big
                for tag, val in zip(("country", "province", "city"), region):
                    c[tag] = val or None
                c["sign"] = sign or None
        self.friends.append(c)
        return c

    # ---------- schema ----------
    def open_db(self, path):
        if os.path.exists(path):
            os.remove(path)
        conn = sqlite3.connect(path, isolation_level=None)
        conn.execute("PRAGMA page_size=%d" % PAGE_SIZE)
        conn.execute("PRAGMA auto_vacuum=NONE")
        conn.execute("PRAGMA secure_delete=%s" % ("ON" if self.secure_delete else "OFF"))
        conn.execute("PRAGMA journal_mode=MEMORY")
        conn.execute("PRAGMA synchronous=OFF")
        conn.execute("PRAGMA cache_size=-262144")
        if conn.execute("PRAGMA secure_delete").fetchone()[0] != int(self.secure_delete):
            raise SystemExit("cannot switch secure_delete %s"
                             % ("on" if self.secure_delete else "off"))
        self.conn = conn

    def create_base_schema(self):
        c = self.conn
        c.execute("BEGIN")
        c.execute(FRIEND_DDL)
        c.execute(FRIEND_EXT_DDL)
        if not self.single:
            c.execute(SESSION_DDL)
            c.execute(CONFIG_DDL)
            c.executemany("INSERT INTO DBConfig (Key, Value) VALUES (?, ?)", [
                ("DBVersion", "9"), ("OwnerUsrName", self.owner),
                ("LastSyncKey", self.rand_str(HEX, 48)), ("ClientVersion", "0x17000523")])
        c.execute("COMMIT")

    def create_conv_table(self, conv):
        self.conn.execute(CHAT_DDL.format(t=conv["table"]))
        if not self.single:
            self.conn.execute(CHAT_INDEX_DDL.format(t=conv["table"]))

    def insert_contacts(self, contacts):
        c = self.conn
        c.executemany(
            "INSERT INTO Friend (TableVer, UsrName, NickName, Uin, Email, Mobile, Sex, FullPY, "
            "ShortPY, Img, Type, LastChatTime, Draft, DefaultRes1, DefaultRes2, DefaultRes3) "
            "VALUES (1,?,?,?,?,?,?,?,?,?,?,?,?,0,0,NULL)",
            [(f["usrName"], f["nickName"], f["uin"], f["email"], f["mobile"], f["sex"],
              f["fullPY"], f["shortPY"].encode("ascii") if f["shortPY"] is not None else None,
              f["img"], f["type"], f["lastChatTime"], f["draft"]) for f in contacts])
        c.executemany(
            "INSERT INTO Friend_Ext (UsrName, ConRemark, ConRemarkPYFull, ConRemarkPYShort, "
            "ConDomainList, ConChatRoomMem, ConIntRes1, ConIntRes2, ConIntRes3, ConStrRes1, "
            "ConStrRes2, ConStrRes3, ConChatRoomStatus, ChatRoomData) "
            "VALUES (?,?,?,?,NULL,?,?,0,0,NULL,?,NULL,?,NULL)",
            [(f["usrName"], f["conRemark"],
              self.pinyin(f["conRemark"]) if f["conRemark"] else None,
              self.initials(f["conRemark"]) if f["conRemark"] else None,
              f["conChatRoomMem"], f["conIntRes1"], f["conStrRes2"],
              1 if f["kind"] == "chatroom" else 0) for f in contacts if f["hasExt"]])

    # ---------- contacts and conversations ----------
    def build_contacts(self):
        p = self.p
        rng = self.rng
        self.owner = self.unique(lambda: "wxid_" + self.rand_str(ALNUM, 14))
        friends = [self.new_contact("friend") for _ in range(p["friends"])]
        rooms = []
        for i in range(p["chatrooms"]):
            nick, py = CHATROOM_NAMES[i % len(CHATROOM_NAMES)]
            if nick and i >= len(CHATROOM_NAMES):
                nick, py = nick + str(i // len(CHATROOM_NAMES) + 1), py + str(i // len(CHATROOM_NAMES) + 1)
            room = self.new_contact("chatroom", nick=nick, fullpy=py)
            room["nickName"] = nick if nick else None
            room["fullPY"] = py if py else None
            room["shortPY"] = self.initials(nick) if nick else None
            known = rng.sample(friends, min(len(friends), rng.randint(2, 8)))
            strangers = [self.make_wxid() for _ in range(rng.randint(2, 6))]
            members = [f["usrName"] for f in known] + strangers + [self.owner]
            rng.shuffle(members)
            room["members"] = members
            sep = ";"
            text = sep.join(members)
            if rng.random() < 0.3:
                text += ";"
            room["conChatRoomMem"] = text
            rooms.append(room)
        officials = []
        for i in range(p["officials"]):
            nick, py = OFFICIAL_NAMES[i % len(OFFICIAL_NAMES)]
            officials.append(self.new_contact("official", nick=nick, fullpy=py))
        # Conversations: all chat rooms, most officials, the rest friends.
        n_conv = p["conversations"]
        conv_contacts = list(rooms)
        conv_contacts += officials[:max(0, min(len(officials), (n_conv - len(rooms)) // 4 or 1))]
        if self.single:
            conv_contacts = []
        n_friend_conv = max(0, n_conv - len(conv_contacts))
        conv_contacts += friends[:n_friend_conv]
        conv_contacts = conv_contacts[:n_conv]
        rng.shuffle(conv_contacts)
        for c in conv_contacts:
            self.new_conversation(c)
        self.lonely_friends = friends[n_friend_conv:]

    def new_conversation(self, contact, late=False, listed=True):
        conv = {"usrName": contact["usrName"], "table": "Chat_" + contact["md5"],
                "kind": contact["kind"], "contact": contact, "dropped": False,
                "createdLate": late, "members": contact["members"],
                "clock": None, "nextLocalId": 1, "weight": 1.0, "msgs": [], "dropCase": None}
        if listed:
            self.convs.append(conv)
        return conv

    # ---------- message content ----------
    def svr_id(self):
        rng = self.rng
        while True:
            if rng.random() < 0.85:
                v = rng.randint(10 ** 18, 9 * 10 ** 18)
            else:
                v = rng.randint(10 ** 8, 4 * 10 ** 9)
            if v not in self.used_svr_ids:
                self.used_svr_ids.add(v)
                return v

    def text_body(self):
        rng = self.rng
        n = rng.choice([1, 1, 1, 2, 2, 3])
        s = "".join(rng.choice(PHRASES) for _ in range(n))
        if rng.random() < 0.25:
            s += rng.choice(["", " ", "，"]) + str(rng.randint(1, 9999))
        if rng.random() < 0.1:
            s += "\n" + rng.choice(PHRASES)
        if self.typed_rng.random() < 0.15:
            s += self.typed_rng.choice(AS_TYPED)
        return s

    def long_text(self, min_bytes):
        rng = self.rng
        parts = []
        size = 0
        while size < min_bytes:
            p = rng.choice(LONG_PARAGRAPHS) + "（%d）\n" % rng.randint(1, 999)
            parts.append(p)
            size += len(p.encode("utf-8"))
        return "".join(parts)

    def hexs(self, n):
        return self.rand_str(HEX, n)

    def content(self, mtype, conv, sender, des):
        """Payload text of one message (without a chat-room sender prefix)."""
        rng = self.rng
        peer = conv["usrName"]
        to = peer if des == 0 else self.owner
        fu = sender
        if mtype == 1:
            return self.text_body()
        if mtype == 3:
            return ('<?xml version="1.0"?>\n<msg>\n\t<img aeskey="%s" encryver="1" '
                    'cdnthumbaeskey="%s" cdnthumburl="3053020100044c304a020100020400%s" '
                    'cdnthumblength="%d" cdnthumbheight="120" cdnthumbwidth="90" '
                    'cdnmidheight="0" cdnmidwidth="0" cdnhdheight="0" cdnhdwidth="0" '
                    'cdnmidimgurl="3053020100044c304a020100020400%s" length="%d" md5="%s" />\n'
                    '</msg>\n' % (self.hexs(32), self.hexs(32), self.hexs(40),
                                   rng.randint(2000, 9000), self.hexs(40),
                                   rng.randint(20000, 900000), self.hexs(32)))
        if mtype == 34:
            vl = rng.choice([999, 1000, rng.randint(600, 59000), rng.randint(600, 59000)])
            return ('<msg><voicemsg endflag="1" cancelflag="0" forwardflag="0" voiceformat="4" '
                    'voicelength="%d" length="%d" bufid="%d" clientmsgid="%s" '
                    'fromusername="%s" /></msg>' % (vl, vl * 2 // 3, rng.randint(10 ** 17, 10 ** 18),
                                                     self.hexs(32), fu))
        if mtype == 42:
            card = rng.choice(self.friends)
            nick = card["nickName"] or ""
            small, big = self.head_urls()
            return ('<?xml version="1.0"?>\n<msg bigheadimgurl="%s" smallheadimgurl="%s" '
                    'username="%s" nickname="%s" fullpy="%s" shortpy="%s" alias="" '
                    'imagestatus="3" scene="17" province="%s" city="%s" sign="" sex="%d" '
                    'certflag="0" certinfo="" brandIconUrl="" brandHomeUrl="" '
                    'brandSubscriptConfigUrl="" brandFlags="0" regionCode="CN_Guangdong_Shenzhen" />\n'
                    % (big, small, card["usrName"], xml_escape(nick), card["fullPY"] or "",
                       card["shortPY"] or "", card["province"] or "", card["city"] or "",
                       card["sex"]))
        if mtype == 43:
            nl = "\n" if rng.random() < 0.5 else ""
            return ('<?xml version="1.0"?>\n<msg>\n\t<videomsg aeskey="%s" cdnthumbaeskey="%s" '
                    'cdnvideourl="3052020100044b3049020100%s" cdnthumburl="3052020100044b3049020100%s" '
                    'length="%d" playlength="%d" cdnthumblength="%d" cdnthumbwidth="224" '
                    'cdnthumbheight="398" fromusername="%s" md5="%s" isad="0" />%s</msg>'
                    % (self.hexs(32), self.hexs(32), self.hexs(40), self.hexs(40),
                       rng.randint(100000, 20000000), rng.randint(1, 300), rng.randint(5000, 30000),
                       fu, self.hexs(32), nl))
        if mtype == 47:
            m = self.hexs(32)
            return ('<msg><emoji fromusername = "%s" tousername = "%s" type="2" '
                    'idbuffer="media:0_0" md5="%s" len = "%d" productid="" androidmd5="%s" '
                    'androidlen="%d" s60v3md5 = "%s" s60v3len="%d" s60v5md5 = "%s" s60v5len="%d" '
                    'cdnurl = "http://emoji.qpic.cn/wx_emoji/%s/" designerid = "" thumburl = "" '
                    'encrypturl = "http://emoji.qpic.cn/wx_emoji/%s/" aeskey= "%s" externurl = "" '
                    'externmd5 = "" width= "240" height= "240" tpurl= "" tpauthkey= "" '
                    'attachedtext= "" ></emoji> </msg>'
                    % (fu, to, m, rng.randint(3000, 900000), m, rng.randint(3000, 900000), m,
                       rng.randint(3000, 900000), m, rng.randint(3000, 900000), self.hexs(60),
                       self.hexs(60), self.hexs(32)))
        if mtype == 48:
            x, y, label, poi = rng.choice(POIS)
            return ('<?xml version="1.0"?>\n<msg>\n\t<location x="%s" y="%s" scale="16" '
                    'label="%s" maptype="roadmap" poiname="%s" poiid="" fromusername="%s" />\n'
                    '</msg>\n' % (x, y, label, poi, fu))
        if mtype == 49:
            title = rng.choice(LINK_TITLES)
            if conv["kind"] == "official":
                url = ("http://mp.weixin.qq.com/s?__biz=%s==&amp;mid=%d&amp;idx=1&amp;sn=%s"
                       "&amp;chksm=%s#rd" % (self.rand_str("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 14),
                                            rng.randint(10 ** 9, 3 * 10 ** 9), self.hexs(32),
                                            self.hexs(24)))
            else:
                url = "https://www.example.com/article/%d?from=timeline&amp;isappinstalled=0" % (
                    rng.randint(1, 10 ** 6))
            des_text = xml_escape(rng.choice(PHRASES + ["点击查看详情", "全文约2000字，阅读需要5分钟"]))
            if rng.random() < 0.15:
                return ('<msg><appmsg appid="" sdkver="0"><title>微信转账</title>'
                        '<des>收到转账%d.00元。如需收钱，请点此升级至最新版本</des><type>2000</type>'
                        '<url>https://support.weixin.qq.com/cgi-bin/mmsupport-bin/readtemplate?t=page/common_page__upgrade&amp;v=1</url>'
                        '<wcpayinfo><paysubtype>1</paysubtype><feedesc>￥%d.00</feedesc>'
                        '<transferid>%s</transferid></wcpayinfo></appmsg></msg>'
                        % (rng.randint(1, 2000), rng.randint(1, 2000), self.hexs(28)))
            if rng.random() < 0.5:
                return ('<msg><appmsg appid="" sdkver="0"><title>%s</title><des>%s</des>'
                        '<type>5</type><url>%s</url><thumburl>http://mmbiz.qpic.cn/mmbiz_jpg/%s/0</thumburl>'
                        '</appmsg><fromusername>%s</fromusername><scene>0</scene></msg>'
                        % (title, des_text, url, self.hexs(40), fu))
            return ('<?xml version="1.0"?>\n<msg>\n\t<appmsg appid="" sdkver="0">\n\t\t<title>%s</title>\n'
                    '\t\t<des>%s</des>\n\t\t<action />\n\t\t<type>5</type>\n\t\t<showtype>0</showtype>\n'
                    '\t\t<content />\n\t\t<url>%s</url>\n\t\t<appattach>\n\t\t\t<totallen>0</totallen>\n'
                    '\t\t\t<attachid />\n\t\t\t<fileext />\n\t\t</appattach>\n\t</appmsg>\n'
                    '\t<fromusername>%s</fromusername>\n\t<scene>0</scene>\n\t<appinfo>\n'
                    '\t\t<version>1</version>\n\t\t<appname></appname>\n\t</appinfo>\n'
                    '\t<commenturl></commenturl>\n</msg>\n' % (title, des_text, url, fu))
        if mtype == 4920:  # red packet (type 49, appmsg type 2001)
            des_text = rng.choice(["我给你发了一个红包，赶紧去拆!", "[微信红包]：恭喜发财，大吉大利",
                                   "微信红包：新年快乐🧧"])
            wish = rng.choice(["恭喜发财，大吉大利", "生日快乐", "辛苦了"])
            return ('<msg><appmsg appid="" sdkver=""><des><![CDATA[%s]]></des>'
                    '<url><![CDATA[https://wxapp.tenpay.com/mmpayhb/wxhb_personalreceive?showwxpaytitle=1'
                    '&msgtype=1&channelid=1&sendid=1000039%s&ver=6&sign=%s]]></url>'
                    '<lowurl><![CDATA[]]></lowurl><type><![CDATA[2001]]></type>'
                    '<title><![CDATA[微信红包]]></title>'
                    '<thumburl><![CDATA[https://wx.gtimg.com/hongbao/1701/hb.png]]></thumburl>'
                    '<wcpayinfo><templateid><![CDATA[%s]]></templateid>'
                    '<receivertitle><![CDATA[%s]]></receivertitle>'
                    '<sendertitle><![CDATA[%s]]></sendertitle>'
                    '<scenetext><![CDATA[微信红包]]></scenetext></wcpayinfo></appmsg>'
                    '<fromusername><![CDATA[%s]]></fromusername></msg>'
                    % (des_text, self.rand_str("0123456789", 20), self.hexs(64), self.hexs(32),
                       wish, wish, fu))
        if mtype == 50:
            dur = rng.choice([0, rng.randint(3, 3600)])
            return ('<voipinvitemsg><roomid>%d</roomid><key>%d</key><status>%d</status>'
                    '<invitetype>%d</invitetype></voipinvitemsg><voiplocalinfo><wordingtype>%d'
                    '</wordingtype><duration>%d</duration></voiplocalinfo><voipextinfo>'
                    '<recvtime>%d</recvtime></voipextinfo>'
                    % (rng.randint(10 ** 8, 10 ** 9), rng.randint(10 ** 17, 10 ** 18),
                       rng.choice([1, 2]), rng.choice([0, 1]), 4 if dur else 1, dur,
                       T_START + rng.randint(0, T_END - T_START)))
        if mtype == 10000:
            n = self.friends[rng.randrange(len(self.friends))]["nickName"] or "群成员"
            m = self.friends[rng.randrange(len(self.friends))]["nickName"] or "新成员"
            return rng.choice(SYSTEM_TEMPLATES).format(n=n, m=m, id=self.rand_str("0123456789", 28))
        raise ValueError(mtype)

    def make_message(self, conv, late=False, force_long=False, mtype=None, body=None):
        rng = self.rng
        kind = conv["kind"]
        if force_long or body is not None:
            mtype = 1
        elif mtype is None:
            mix = TYPE_MIX[kind]
            mtype = rng.choices([t for t, _ in mix], weights=[w for _, w in mix])[0]
        # sender and direction
        if mtype == 10000:
            des, sender, prefix = 1, None, None
        elif kind == "official":
            if mtype == 1 and rng.random() < 0.3:
                des, sender, prefix = 0, self.owner, None
            else:
                des, sender, prefix = 1, conv["usrName"], None
        elif kind == "chatroom":
            if rng.random() < 0.25:
                des, sender, prefix = 0, self.owner, None
            else:
                others = [m for m in conv["members"] if m != self.owner]
                sender = rng.choice(others)
                des, prefix = 1, sender
        else:
            if rng.random() < 0.45:
                des, sender = 0, self.owner
            else:
                des, sender = 1, conv["usrName"]
            prefix = None
        if force_long:
            body = self.long_text(rng.randint(5000, 12000))
        elif body is None:
            body = self.content(mtype, conv, sender or conv["usrName"], des)
        mtype = 49 if mtype == 4920 else mtype
        text = (prefix + ":\n" + body) if prefix else body
        # server id, status
        if des == 0:
            status = 2 if rng.random() < 0.97 else 5
            svr = self.svr_id() if status == 2 else 0
        else:
            status = 4 if rng.random() < 0.9 else 3
            svr = 0 if (mtype == 10000 and rng.random() < 0.5) else self.svr_id()
        img_status = 2 if mtype in (3, 43, 47) else 1
        # time
        gap = conv["meanGap"]
        if rng.random() < 0.03:
            step = 0
        else:
            step = max(1, int(rng.expovariate(1.0 / gap)))
        conv["clock"] = min(T_END, conv["clock"] + step)
        local_id = conv["nextLocalId"]
        conv["nextLocalId"] += 1
        msg = {"table": conv["table"], "usrName": conv["usrName"], "mesLocalId": local_id,
               "mesSvrId": svr, "createTime": conv["clock"], "message": text, "status": status,
               "imgStatus": img_status, "type": mtype, "des": des, "tableVer": 1,
               "sender": sender if sender else conv["usrName"],
               "taggedUserName": prefix, "deleted": False, "overwrittenLikely": False,
               "textWhole": False, "proven": False, "late": late}
        conv["msgs"].append(msg)
        self.messages.append(msg)
        return msg

    def insert_messages(self, conv, msgs):
        self.conn.executemany(
            "INSERT INTO %s (TableVer, MesLocalID, MesSvrID, CreateTime, Message, Status, "
            "ImgStatus, Type, Des) VALUES (1,?,?,?,?,?,?,?,?)" % conv["table"],
            [(m["mesLocalId"], m["mesSvrId"], m["createTime"], m["message"], m["status"],
              m["imgStatus"], m["type"], m["des"]) for m in msgs])

    def file_bytes(self):
        pc = self.conn.execute("PRAGMA page_count").fetchone()[0]
        return pc * PAGE_SIZE

    # ---------- drop cases ----------
    @contextlib.contextmanager
    def case_draws(self):
        """Draw from the drop cases' own generators; contacts made meanwhile go to case_friends."""
        saved = self.rng, self.typed_rng, len(self.friends)
        self.rng, self.typed_rng = self.case_rng, self.case_typed_rng
        try:
            yield
        finally:
            self.rng, self.typed_rng = saved[0], saved[1]
            self.case_friends += self.friends[saved[2]:]
            del self.friends[saved[2]:]

    def case_text(self, nbytes):
        """A text message body of at most `nbytes` UTF-8 bytes, most of them used."""
        return self.long_text(nbytes).encode("utf-8")[:nbytes].decode("utf-8", "ignore")

    def plan_drop_cases(self):
        """Conversations dropped besides the profile's ones, one per shape a carver has to
        handle: a table of a single leaf page (owner kept as a live contact), one of two
        b-tree levels (a stranger never saved as a contact, text messages only, so that the
        owner's user name is nowhere in the file), one of three levels (owner deleted with it,
        named in a live group's member list) and one whose schema record later writes
        overwrite (owner kept as a live contact). Three levels take about as many rows as an
        interior page has children, one row a leaf: past 16 KiB pages that is tens of
        megabytes, and the case is left out."""
        usable = PAGE_SIZE
        # Children of an interior page: cells of a child pointer, a two-byte rowid and their
        # two-byte slot. Rows of 60% of a page (over half, under the overflow threshold) make
        # one leaf each.
        fanout = (usable - 12) // 8 + 1
        with self.case_draws():
            rng = self.rng
            known = list(self.friends)
            specs = [("oneLeaf", self.new_contact("friend"), 4, None, False)]
            stranger = self.unique(lambda: "wxid_" + self.rand_str(ALNUM, 14))
            specs.append(("twoLevels", {"usrName": stranger, "md5": md5hex(stranger),
                                        "kind": "friend", "members": []},
                          10, usable * 3 // 10, False))
            if PAGE_SIZE <= 16384:
                owner3 = self.new_contact("friend")
                room = self.new_contact("chatroom", nick="周末骑行群",
                                        fullpy="zhoumoqixingqun")
                members = ([owner3["usrName"]] + [f["usrName"] for f in rng.sample(known, 2)]
                           + [self.owner])
                rng.shuffle(members)
                room["members"] = members
                room["conChatRoomMem"] = ";".join(members)
                specs.append(("threeLevels", owner3, fanout + 3, usable * 6 // 10 - 40, True))
            else:
                self.cases_skipped["threeLevels"] = (
                    "page size %d: three levels need about %d rows of one leaf page each "
                    "(%d MB)" % (PAGE_SIZE, fanout + 3, (fanout + 3) * PAGE_SIZE >> 20))
            specs.append(("schemaGone", self.new_contact("friend"), 8, None, False))
            # A live conversation created right after schemaGone: the schema records that drop
            # frees then lie below a record that stays, a freeblock the next new table's record
            # fills first, instead of space at the top of the cell content area that SQLite
            # takes only once no freeblock fits.
            specs.append((None, self.new_contact("friend"), 5, None, False))
            for name, contact, planned, text_bytes, delete_contact in specs:
                conv = self.new_conversation(contact, listed=False)
                conv.update(dropCase=name, planned=planned, textBytes=text_bytes,
                            deleteContact=delete_contact, weight=0.0,
                            clock=T_START + rng.randint(0, (T_END - T_START) // 3),
                            meanGap=float(rng.randint(3600, 7 * 86400)))
                if name:
                    self.cases[name] = conv
                else:
                    self.keeper = conv

    def case_messages(self, conv, n):
        with self.case_draws():
            if conv["textBytes"]:
                return [self.make_message(conv, body=self.case_text(conv["textBytes"]))
                        for _ in range(n)]
            if conv["dropCase"] == "oneLeaf":
                return [self.make_message(conv, mtype=1) for _ in range(n)]
            return [self.make_message(conv) for _ in range(n)]

    def fill_cases(self, r, rounds):
        """Round r of `rounds`: its share of each drop case's messages, so that the cases'
        pages interleave with the other tables' ones."""
        self.conn.execute("BEGIN")
        for conv in list(self.cases.values()) + [self.keeper]:
            n = conv["planned"] * (r + 1) // rounds - conv["planned"] * r // rounds
            if n:
                self.insert_messages(conv, self.case_messages(conv, n))
        self.conn.execute("COMMIT")

    def depth_on_disk(self, db_path, table):
        root = self.conn.execute("SELECT rootpage FROM sqlite_master WHERE name=?",
                                 (table,)).fetchone()[0]
        with open(db_path, "rb") as fh:
            levels, pg = 1, root
            while True:
                fh.seek((pg - 1) * PAGE_SIZE)
                page = fh.read(PAGE_SIZE)
                hdr = 100 if pg == 1 else 0
                if page[hdr] not in (2, 5):
                    return levels
                levels += 1
                pg = int.from_bytes(page[hdr + 8:hdr + 12], "big")

    def finish_cases(self, db_path):
        """Rows until the three-level case has its third level; every case checked for the
        levels it stands for."""
        want = {"oneLeaf": 1, "twoLevels": 2, "threeLevels": 3}
        conv = self.cases.get("threeLevels")
        while conv is not None and self.depth_on_disk(db_path, conv["table"]) < 3:
            self.conn.execute("BEGIN")
            self.insert_messages(conv, self.case_messages(conv, max(1, conv["planned"] // 16)))
            self.conn.execute("COMMIT")
        for name, levels in want.items():
            if name in self.cases:
                got = self.depth_on_disk(db_path, self.cases[name]["table"])
                if got != levels:
                    raise SystemExit("drop case %s: %d levels instead of %d" % (name, got, levels))

    def overwrite_schema_case(self, db_path):
        """New conversations, as the messenger opens them, until the schema record of the
        schemaGone case is no longer in the file: each CREATE takes space the dropped records
        left on the last page of sqlite_master."""
        gone = self.cases["schemaGone"]
        c = self.conn
        for _ in range(12):
            if gone["_schema"] not in self.read_image(db_path):
                return
            with self.case_draws():
                f = self.new_contact("friend", late=True)
                conv = self.new_conversation(f, late=True)
                conv.update(weight=0.0, clock=T_START + (T_END - T_START) * 3 // 4, meanGap=86400.0)
            c.execute("BEGIN")
            self.insert_contacts([f])
            self.create_conv_table(conv)
            c.execute("COMMIT")
        raise SystemExit("the schema record of %s survives new tables" % gone["table"])

    # ---------- phases ----------
    def plan_clocks(self):
        rng = self.rng
        weights = []
        for conv in self.convs:
            w = rng.paretovariate(1.3)
            if conv["kind"] == "chatroom":
                w *= 2.5
            elif conv["kind"] == "official":
                w *= 0.4
            weights.append(w)
        total = sum(weights)
        for conv, w in zip(self.convs, weights):
            conv["weight"] = w / total
            start = T_START + rng.randint(0, (T_END - T_START) // 3)
            conv["clock"] = start
            expected = max(1.0, conv["weight"] * self.total_messages * 1.1)
            conv["meanGap"] = max(1.0, (T_END - start) * 0.9 / expected)

    def insert_round(self, count, late=False, long_count=0, at_least=None):
        """One transaction: `count` messages spread over the live conversations by weight;
        the conversation `at_least` gets at least three of them."""
        rng = self.rng
        live = [c for c in self.convs if not c["dropped"]]
        ws = [c["weight"] for c in live]
        per = [0] * len(live)
        for i in rng.choices(range(len(live)), weights=ws, k=count):
            per[i] += 1
        if at_least is not None:
            i = live.index(at_least)
            per[i] = max(per[i], 3)
        longs = [0] * len(live)
        for i in rng.choices(range(len(live)), k=long_count):
            longs[i] += 1
        self.conn.execute("BEGIN")
        for conv, n, nl in zip(live, per, longs):
            if n + nl == 0:
                continue
            batch = []
            for k in range(n + nl):
                batch.append(self.make_message(conv, late=late, force_long=(k < nl)))
            self.insert_messages(conv, batch)
        self.conn.execute("COMMIT")

    def update_sessions(self):
        """Messenger-style bookkeeping: last chat time of contacts, session rows."""
        c = self.conn
        rows, sess = [], []
        for conv in self.convs:
            if conv["dropped"]:
                continue
            live = [m for m in conv["msgs"] if not m["deleted"]]
            if not live:
                continue
            last = live[-1]
            contact = conv["contact"]
            if not contact["deleted"]:
                contact["lastChatTime"] = last["createTime"]
                rows.append((last["createTime"], contact["usrName"]))
            sess.append((conv["usrName"], last["createTime"], self.rng.randint(0, 3), last["type"],
                         last["message"][:64], 0))
        c.execute("BEGIN")
        c.executemany("UPDATE Friend SET LastChatTime=? WHERE UsrName=?", rows)
        if not self.single:
            c.executemany("INSERT OR REPLACE INTO SessionAbstract (UsrName, CreateTime, "
                          "UnreadCount, LastMessageType, LastMessage, Status) VALUES (?,?,?,?,?,?)",
                          sess)
        c.execute("COMMIT")

    def run(self, out_dir):
        os.makedirs(out_dir, exist_ok=True)
        db_path = os.path.join(out_dir, "MM.sqlite")
        self.build_contacts()
        if self.drop_cases:
            self.plan_drop_cases()
        self.open_db(db_path)
        self.create_base_schema()
        c = self.conn
        c.execute("BEGIN")
        self.insert_contacts(self.friends)
        # The drop cases' tables: the schemaGone one last, its schema record on the last page
        # of sqlite_master where new tables' records go; the others spread between the
        # profile's tables, their records beside records that stay.
        order = list(self.convs)
        if self.drop_cases:
            self.insert_contacts(self.case_friends)
            others = [cv for name, cv in self.cases.items() if name != "schemaGone"]
            for i, cv in reversed(list(enumerate(others))):
                order.insert(len(self.convs) * (i + 1) // (len(others) + 1), cv)
            order += [self.cases["schemaGone"], self.keeper]
        for conv in order:
            self.create_conv_table(conv)
        c.execute("COMMIT")
        self.plan_clocks()

        # Initial inserts, in rounds so that the pages of the tables interleave.
        if self.target_bytes is not None:
            round_size = max(200, self.total_messages // 20)
            while self.file_bytes() < self.target_bytes * 0.97:
                remaining = self.target_bytes - self.file_bytes()
                est = max(100, int(remaining / 330))
                self.insert_round(min(round_size, est), long_count=2)
            if self.drop_cases:
                self.fill_cases(0, 1)
        else:
            initial = max(1, self.total_messages - self.total_messages // 20)
            rounds = self.p["rounds"] or 4
            for r in range(rounds):
                n = initial // rounds + (1 if r < initial % rounds else 0)
                self.insert_round(n, long_count=1 if r < 2 else 0)
                if self.drop_cases:
                    self.fill_cases(r, rounds)
        if self.drop_cases:
            self.finish_cases(db_path)
        self.update_sessions()

        # Choose deletions.
        rng = self.rng
        live_convs = list(self.convs)
        to_drop = []
        if self.p["dropped"]:
            # Mostly the smaller conversations, as a user clearing old chats would.
            cands = sorted((cv for cv in live_convs if cv["kind"] != "official"),
                           key=lambda cv: (len(cv["msgs"]), cv["table"]))
            cands = cands[:max(1, (len(cands) * 7) // 10)]
            to_drop = rng.sample(cands, min(self.p["dropped"], max(0, len(cands) - 1)))
        del_msgs = []
        frac = 0.38 if self.single else 0.085
        for conv in live_convs:
            if conv in to_drop:
                continue
            msgs = conv["msgs"]
            if not msgs:
                continue
            chosen = set()
            for i in range(len(msgs)):
                if rng.random() < frac:
                    chosen.add(i)
            # a few runs of consecutive messages ("delete selected")
            for _ in range(max(1, len(msgs) // 150)):
                start = rng.randrange(len(msgs))
                run = rng.randint(2, max(2, min(12, len(msgs) // 8)))
                for i in range(start, min(len(msgs), start + run)):
                    chosen.add(i)
            del_msgs.extend(msgs[i] for i in sorted(chosen))
        # Contacts: some friends without conversation, one owner of a kept conversation
        # (its table survives without its contact), the owners of most dropped conversations.
        del_contacts = []
        lonely = [f for f in self.lonely_friends]
        del_contacts += rng.sample(lonely, min(len(lonely), self.p["deleted_contacts"]))
        kept_friend_convs = [cv for cv in live_convs if cv not in to_drop and cv["kind"] == "friend"]
        if len(kept_friend_convs) > 2:
            del_contacts.append(rng.choice(kept_friend_convs)["contact"])
        for i, cv in enumerate(to_drop):
            if i == 0 and len(to_drop) > 1:
                continue  # history cleared, contact kept
            del_contacts.append(cv["contact"])

        # The schemaGone case goes with these; the other cases last of all, so that nothing
        # later takes their freed pages or schema records.
        case_drop = [cv for name, cv in self.cases.items() if name == "schemaGone"]

        # Locate the rows to be deleted on their pages before deleting them.
        image = self.read_image(db_path)
        roots = dict(c.execute("SELECT name, rootpage FROM sqlite_master WHERE type='table'"))
        page_maps = {}
        tables = sorted({m["table"] for m in del_msgs} | {cv["table"] for cv in to_drop})
        for t in tables:
            page_maps[t] = table_rowid_cells(image, roots[t])
        for m in del_msgs:
            self.locate(image, m, page_maps[m["table"]])
        self.before_drop(image, roots, to_drop + case_drop, del_contacts, page_maps)
        del image

        # Delete the way the messenger does: no vacuum, freed space keeps its bytes.
        c.execute("BEGIN")
        by_table = {}
        for m in del_msgs:
            by_table.setdefault(m["table"], []).append((m["mesLocalId"],))
            m["deleted"] = True
        for t in sorted(by_table):
            c.executemany("DELETE FROM %s WHERE MesLocalID=?" % t, by_table[t])
        self.drop_conversations(to_drop + case_drop, del_contacts)
        self.convs += case_drop
        c.execute("COMMIT")

        # Later life: a new contact with a new conversation, more messages, bookkeeping.
        late_total = max(3, self.total_messages // 20) if self.target_bytes is None else max(
            50, len(self.messages) // 50)
        if not self.single:
            c.execute("BEGIN")
            newf = self.new_contact("friend", late=True)
            self.insert_contacts([newf])
            conv = self.new_conversation(newf, late=True)
            conv["clock"] = T_START + (T_END - T_START) * 3 // 4
            conv["meanGap"] = max(1.0, (T_END - conv["clock"]) / (late_total + 1))
            conv["weight"] = 0.1
            self.create_conv_table(conv)
            c.execute("COMMIT")
        if self.drop_cases:
            self.overwrite_schema_case(db_path)
        for cv in self.convs:
            if not cv["dropped"] and cv["clock"] is not None:
                cv["meanGap"] = max(1.0, min(cv["meanGap"], (T_END - cv["clock"]) / (late_total + 1)))
        self.insert_round(late_total, late=True, at_least=None if self.single else conv)
        self.update_sessions()
        if self.drop_cases:
            self.drop_late_cases(db_path)
            self.convs.append(self.keeper)
        c.close()

        # Tell which deleted rows have probably lost their bytes.
        image = self.read_image(db_path)
        for row in self.messages + self.friends + self.case_friends:
            if row["deleted"]:
                row["overwrittenLikely"] = not intact(image, row.pop("_snap", None))
        self.judge_deleted(image)
        size = len(image)
        del image
        if self.wal:
            self.wal_phase(db_path)
        self.write_truth(os.path.join(out_dir, "truth.json"))
        return size

    def before_drop(self, image, roots, convs, contacts, page_maps):
        """Of the tables about to be dropped keep where their rows are and what ties a leaf to
        its table: the path from the root and the schema record; of the contacts about to be
        deleted where their rows are."""
        schema = schema_entries(image)
        for cv in convs:
            cells = page_maps.get(cv["table"]) or table_rowid_cells(image, roots[cv["table"]])
            for m in cv["msgs"]:
                self.locate(image, m, cells)
            cv["_chains"] = leaf_chains(image, roots[cv["table"]])
            cv["_levels"] = tree_depth(image, roots[cv["table"]])
            cv["_schema"] = schema[cv["table"]][2]
        friend_cells = table_rowid_cells(image, roots["Friend"])
        for f in contacts:
            rowid = self.conn.execute("SELECT rowid FROM Friend WHERE UsrName=?",
                                      (f["usrName"],)).fetchone()[0]
            f["_snap"] = snapshot(image, friend_cells.get(rowid))

    def drop_conversations(self, convs, contacts):
        """DROP TABLE, the contact rows with them (no transaction of its own)."""
        c = self.conn
        for cv in convs:
            c.execute("DROP TABLE %s" % cv["table"])
            cv["dropped"] = True
            for m in cv["msgs"]:
                m["deleted"] = True
        for f in contacts:
            c.execute("DELETE FROM Friend WHERE UsrName=?", (f["usrName"],))
            c.execute("DELETE FROM Friend_Ext WHERE UsrName=?", (f["usrName"],))
            if not self.single:
                c.execute("DELETE FROM SessionAbstract WHERE UsrName=?", (f["usrName"],))
            f["deleted"] = True

    def drop_late_cases(self, db_path):
        """The drop cases besides schemaGone, dropped in a transaction of their own at the end:
        their pages and schema records stay as the drop left them."""
        convs = [cv for name, cv in self.cases.items() if name != "schemaGone"]
        contacts = [cv["contact"] for cv in convs if cv["deleteContact"]]
        roots = dict(self.conn.execute("SELECT name, rootpage FROM sqlite_master "
                                       "WHERE type='table'"))
        self.before_drop(self.read_image(db_path), roots, convs, contacts, {})
        self.conn.execute("BEGIN")
        self.drop_conversations(convs, contacts)
        self.conn.execute("COMMIT")
        self.convs += convs

    @staticmethod
    def locate(image, m, cells):
        """Where the row of message m lies before it is deleted, the bytes a later write may
        reuse, and the bytes of its text."""
        loc = cells.get(m["mesLocalId"])
        m["_loc"] = loc
        m["_snap"] = snapshot(image, loc)
        m["_text"] = text_snapshot(image, loc)
        if m["_text"] is None or b"".join(b for _, b in m["_text"]) != m["message"].encode("utf-8"):
            raise SystemExit("%s #%d: row or text not found" % (m["table"], m["mesLocalId"]))

    def judge_deleted(self, image):
        """What the final file still holds of the deleted messages (textWhole: the text's
        bytes, proven: the tie to their conversation) and of the conversations."""
        _, free_leaves = freelist_pages(image)
        schema = schema_entries(image)
        pages_of = {}
        by_table = {cv["table"]: cv for cv in self.convs}
        for cv in self.convs:
            if cv["dropped"]:
                cv["schemaSurvives"] = cv["_schema"] in image
                cv["levels"] = cv["_levels"]
            else:
                cv["schemaSurvives"] = None
                cv["levels"] = tree_depth(image, schema[cv["table"]][1])
            cv["ownerNamedInFile"] = cv["usrName"].encode("utf-8") in image
        for m in self.messages:
            loc, text = m.pop("_loc", None), m.pop("_text", None)
            if not m["deleted"]:
                continue
            m["textWhole"] = intact(image, text)
            cv = by_table[m["table"]]
            if cv["dropped"]:
                chain = cv["_chains"].get(loc[0])
                m["proven"] = (cv["schemaSurvives"] and chain is not None
                               and chain_holds(image, loc[0], chain, free_leaves))
            else:
                if m["table"] not in pages_of:
                    pages_of[m["table"]] = btree_pages(image, schema[m["table"]][1])
                m["proven"] = loc[0] in pages_of[m["table"]]
        for cv in self.convs:
            for key in ("_chains", "_levels", "_schema"):
                cv.pop(key, None)

    def wal_phase(self, db_path):
        """The database switched to WAL mode, then, never checkpointed: a round of messages of
        which every second one is deleted in a later transaction (their rows live on only in
        older frames of the log), then a round of recent messages that only the log holds."""
        conn = sqlite3.connect(db_path, isolation_level=None)
        conn.execute("PRAGMA journal_mode=WAL")
        conn.execute("PRAGMA wal_autocheckpoint=0")
        conn.execute("PRAGMA secure_delete=%s" % ("ON" if self.secure_delete else "OFF"))
        conn.execute("PRAGMA synchronous=OFF")
        self.conn = conn
        for m in self.messages:
            m["wal"] = False
        n = max(6, len(self.messages) // 50)
        first = len(self.messages)
        self.insert_round(n, late=True)
        doomed = self.messages[first::2]
        conn.execute("BEGIN")
        for m in doomed:
            conn.execute("DELETE FROM %s WHERE MesLocalID=?" % m["table"], (m["mesLocalId"],))
            m["deleted"] = True
            m["textWhole"] = m["proven"] = True  # older frames of the log keep the row
        conn.execute("COMMIT")
        self.insert_round(n, late=True)
        for m in self.messages[first:]:
            m["wal"] = True
        # Closing the last connection would checkpoint the log into the file and remove
        # it: the three files are taken while the connection still holds the log open.
        snaps = []
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(db_path + suffix):
                with open(db_path + suffix, "rb") as fh:
                    snaps.append((db_path + suffix, fh.read()))
        conn.close()
        self.conn = None
        for path, data in snaps:
            with open(path, "wb") as fh:
                fh.write(data)

    @staticmethod
    def read_image(path):
        with open(path, "rb") as fh:
            return fh.read()

    def write_truth(self, path):
        friend_keys = ["usrName", "md5", "kind", "tableVer", "nickName", "uin", "email", "mobile",
                       "sex", "fullPY", "shortPY", "img", "type", "lastChatTime", "draft",
                       "hasExt", "conRemark", "conChatRoomMem", "conIntRes1", "conStrRes2",
                       "headImgUrl", "headImgHDUrl", "country", "province", "city", "sign",
                       "deleted", "overwrittenLikely", "late"]
        msg_keys = ["table", "usrName", "mesLocalId", "mesSvrId", "createTime", "message",
                    "status", "imgStatus", "type", "des", "tableVer", "sender", "taggedUserName",
                    "deleted", "overwrittenLikely", "textWhole", "proven", "late"]
        if self.wal:
            msg_keys.append("wal")

        def dump(obj):
            return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))

        head = {"seed": self.seed, "pageSize": PAGE_SIZE, "profile": self.profile_name,
                "singleTable": self.single, "owner": self.owner, "secureDelete": self.secure_delete,
                "dropCases": {name: cv["table"] for name, cv in self.cases.items()},
                "dropCasesSkipped": self.cases_skipped}
        # Messages ordered by conversation, then local id (stable, deterministic).
        order = {cv["table"]: i for i, cv in enumerate(self.convs)}
        msgs = sorted(self.messages, key=lambda m: (order[m["table"]], m["mesLocalId"]))
        with open(path, "w", encoding="utf-8", newline="\n") as fh:
            fh.write(dump(head)[:-1])
            fh.write(',"friends":[\n')
            fh.write(",\n".join(dump({k: f[k] for k in friend_keys})
                                for f in self.friends + self.case_friends))
            fh.write('\n],"conversations":[\n')
            fh.write(",\n".join(dump({"usrName": cv["usrName"], "table": cv["table"],
                                      "kind": cv["kind"], "dropped": cv["dropped"],
                                      "createdLate": cv["createdLate"], "members": cv["members"],
                                      "schemaSurvives": cv["schemaSurvives"],
                                      "levels": cv["levels"],
                                      "ownerNamedInFile": cv["ownerNamedInFile"],
                                      "dropCase": cv["dropCase"]})
                                for cv in self.convs))
            fh.write('\n],"messages":[\n')
            first = True
            for m in msgs:
                if not first:
                    fh.write(",\n")
                first = False
                fh.write(dump({k: m[k] for k in msg_keys}))
            fh.write("\n]}\n")

    def summary(self, size, elapsed):
        nd = sum(1 for m in self.messages if m["deleted"])
        no = sum(1 for m in self.messages if m["overwrittenLikely"])
        fd = sum(1 for f in self.friends + self.case_friends if f["deleted"])
        cd = sum(1 for cv in self.convs if cv["dropped"])
        return ("MM.sqlite %d bytes (%d pages of %d), %d contacts (%d deleted), "
                "%d conversations (%d dropped), %d messages (%d deleted, %d likely overwritten), "
                "seed %d, %.2f s" % (size, size // PAGE_SIZE, PAGE_SIZE,
                                     len(self.friends) + len(self.case_friends), fd,
                                     len(self.convs), cd, len(self.messages), nd, no, self.seed,
                                     elapsed))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Write a synthetic messenger MM.sqlite and truth.json.")
    ap.add_argument("--out", required=True, help="output directory")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--profile", choices=sorted(PROFILES), default="tiny")
    ap.add_argument("--target-mb", type=float, default=None,
                    help="grow the conversations until the file holds about M megabytes")
    ap.add_argument("--messages", type=int, default=None,
                    help="messages inserted before the deletions")
    ap.add_argument("--single-table", action="store_true",
                    help="one conversation table only, many rows deleted")
    ap.add_argument("--page-size", type=int, default=4096,
                    choices=[1024, 2048, 4096, 8192, 16384, 32768, 65536],
                    help="database page size (the messenger's files use 1 to 64 KiB)")
    ap.add_argument("--wal", action="store_true",
                    help="leave the database in WAL mode with MM.sqlite-wal: recent messages only in "
                         "the log, deleted rows only in its older frames")
    ap.add_argument("--drop-cases", action="store_true",
                    help="also drop a table of one leaf page, one of two and one of three b-tree "
                         "levels and one whose schema record new tables then overwrite")
    ap.add_argument("--secure-delete", action="store_true",
                    help="delete with PRAGMA secure_delete=ON: freed space is zeroed")
    args = ap.parse_args(argv)
    if args.drop_cases and args.single_table:
        ap.error("--drop-cases needs the profile's conversations, not --single-table")
    global PAGE_SIZE
    PAGE_SIZE = args.page_size
    if args.messages is not None and args.messages < 1:
        ap.error("--messages must be at least 1")
    if args.target_mb is not None and args.target_mb <= 0:
        ap.error("--target-mb must be positive")
    t0 = time.perf_counter()
    gen = Generator(args)
    size = gen.run(args.out)
    print(gen.summary(size, time.perf_counter() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
