#!/usr/bin/env python3
"""Writes a Messages database (chat.db layout) for tests and benchmarks.

The database has the tables Pallix reads (message, handle, chat,
chat_message_join, chat_handle_join, attachment, message_attachment_join)
with the columns of a real one, dates in nanoseconds since 2001-01-01, and
the awkward rows real histories hold: messages whose text is NULL and whose
body is only in the archived attributedBody column (NSArchiver
"streamtyped" layout), empty texts, inbound messages without a handle,
messages in no conversation, attachments (some without a filename), deleted
rows, rows without a GUID, dates at the reference instant and in the future.
A matching address book is written as vCard (3.0 and 4.0, folded lines,
a photo) with --vcf. --backup DIR also lays the database out as an
idevicebackup2 backup (Manifest.db plus the hashed file).

Output is a function of --seed, --messages and --now only.

  make_messages_db.py --out chat.db --vcf contacts.vcf --messages 5000 --now 1767225600
  make_messages_db.py --out empty.db --empty
"""

import argparse
import base64
import hashlib
import os
import random
import shutil
import sqlite3
import struct
import time

REFERENCE = 978307200  # 2001-01-01 00:00:00 UTC in seconds since 1970
NS = 1_000_000_000

SCHEMA = """
CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));
CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT,
  service TEXT NOT NULL, uncanonicalized_id TEXT, person_centric_id TEXT, UNIQUE (id, service));
CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER,
  state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT,
  account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT,
  group_id TEXT, is_filtered INTEGER DEFAULT 0);
CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE, text TEXT,
  replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT,
  attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT,
  account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER,
  is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0,
  is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0,
  cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, associated_message_guid TEXT,
  associated_message_type INTEGER DEFAULT 0, thread_originator_guid TEXT);
CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id));
CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
  message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, message_date INTEGER DEFAULT 0,
  PRIMARY KEY (chat_id, message_id));
CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,
  created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT,
  transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0, transfer_name TEXT,
  total_bytes INTEGER DEFAULT 0);
CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,
  attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id));
CREATE INDEX message_idx_handle ON message(handle_id, date);
CREATE INDEX message_idx_date ON message(date);
CREATE INDEX chat_message_join_idx_message_id_only ON chat_message_join(message_id);
CREATE INDEX chat_message_join_idx_message_date_id_chat_id ON chat_message_join(chat_id, message_date, message_id);
CREATE INDEX chat_handle_join_idx_handle_id ON chat_handle_join(handle_id);
CREATE INDEX message_attachment_join_idx_message_id ON message_attachment_join(message_id);
"""

GIVEN = ["Alice", "Bruno", "Chloé", "Dmitri", "Elena", "Farid", "Grace", "Hiro", "Ines", "Jonas", "Kaja",
         "Liam", "Maya", "Noah", "Olga", "Pavel", "Quinn", "Rosa", "Sami", "Tara", "Uma", "Viktor", "Wen",
         "Ximena", "Yusuf", "Zoë", "Amara", "Ben", "Carla", "Diego", "Emma", "Felix", "Gita", "Hugo",
         "Isla", "Jakob", "Keira", "Leon", "Mila", "Nils"]
FAMILY = ["Martin", "Okafor", "Dubois", "Ivanov", "Rossi", "Haddad", "Kim", "Tanaka", "García", "Berg",
          "Nowak", "Byrne", "Patel", "Schmidt", "Petrova", "Novak", "Walsh", "Costa", "Aziz", "Singh"]
PLACES = ["the station", "Rosa's", "the office", "the park", "the cinema", "grandma's", "the gym", "the market"]
MEALS = ["lunch", "dinner", "breakfast", "coffee", "pizza", "sushi", "brunch"]
DOCS = ["budget", "slides", "contract", "invoice", "report", "itinerary", "floor plan", "lease"]
PROJECTS = ["kitchen", "Q3 launch", "wedding", "garden", "conference", "move", "hiking trip"]
TEMPLATES = [
    "Are we still on for {meal} at {hour}?",
    "Running ten minutes late, see you at {place}",
    "Can you send me the {doc} for the {project} meeting?",
    "Just sent the {doc}, let me know what you think",
    "Happy birthday!! 🎉 Hope you have a great day",
    "Did you see the game last night?",
    "I'll pick up the kids at {hour}",
    "Thanks so much for {meal} yesterday, it was lovely",
    "Can we move the {project} call to tomorrow morning?",
    "The {doc} looks good to me, ship it",
    "Where did you park? I'm at {place}",
    "ok 👍🏽",
    "Sounds good",
    "Call me when you land",
    "We're out of milk, can you grab some on the way home?",
    "Meeting notes from the {project} sync are in the shared folder",
    "Is the discount 20% or 25% on the {doc}?",
    "file name is final_{doc}_v2.pdf",
    "Café at {hour}? Je t'attends à {place}",
    "明日の{meal}は何時ですか",
]


def nanos(seconds_since_1970):
    return int(round((seconds_since_1970 - REFERENCE) * NS))


def archived_body(text):
    """An NSArchiver ("streamtyped") NSAttributedString, as Messages stores attributedBody."""
    b = text.encode("utf-8")
    n = len(b)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x10000:
        length = b"\x81" + struct.pack("<H", n)
    else:
        length = b"\x82" + struct.pack("<I", n)
    return (b"\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@\x84\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject"
            b"\x00\x85\x92\x84\x84\x84\x08NSString\x01\x94\x84\x01+" + length + b +
            b"\x86\x84\x02iI\x01" + bytes([min(len(text), 255)]) +
            b"\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x92\x84\x96\x96\x1d__kIMMessagePartAttributeName"
            b"\x86\x92\x84\x84\x84\x08NSNumber\x00\x84\x84\x07NSValue\x00\x94\x84\x01*\x84\x99\x99\x00\x86\x86\x86")


def phone(rng):
    return "+1555%07d" % rng.randrange(10**7)


def create_schema(conn, wal):
    if wal:  # before any transaction: the mode cannot change inside one
        mode = conn.execute("PRAGMA journal_mode=WAL").fetchone()[0]
        assert mode == "wal", mode
    conn.executescript(SCHEMA)
    conn.execute("INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '17001')")


def make_people(rng):
    people = []
    used = set()
    for i in range(40):
        given, family = GIVEN[i], FAMILY[i % len(FAMILY)]
        number = phone(rng)
        while number in used:
            number = phone(rng)
        used.add(number)
        person = {"given": given, "family": family, "handles": [number], "phones": [number], "emails": []}
        if i % 5 == 0:
            email = "%s.%s@example.org" % (given.lower(), family.lower())
            person["emails"].append(email)
            person["handles"].append(email)
        people.append(person)
    return people


def vcard_phone(number, style):
    digits = number[2:]  # national part after +1
    if style == 0:
        return "+1 %s %s %s" % (digits[:3], digits[3:6], digits[6:])
    if style == 1:
        return "(%s) %s-%s" % (digits[:3], digits[3:6], digits[6:])  # national: matched by the last 10 digits
    return number


TINY_PNG = base64.b64decode(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==")


def fold(line):
    out = [line[:75]]
    rest = line[75:]
    while rest:
        out.append(" " + rest[:74])
        rest = rest[74:]
    return "\r\n".join(out)


def write_vcf(path, people):
    cards = []
    for i, p in enumerate(people):
        if i == 39:
            continue  # a handle that is in no address book
        v4 = i % 3 == 2
        lines = ["BEGIN:VCARD", "VERSION:4.0" if v4 else "VERSION:3.0",
                 "FN:%s %s" % (p["given"], p["family"]), "N:%s;%s;;;" % (p["family"], p["given"])]
        for number in p["phones"]:
            value = vcard_phone(number, i % 3)
            lines.append(("TEL;TYPE=cell;VALUE=uri:tel:%s" if v4 else "TEL;TYPE=CELL:%s") % value)
        for email in p["emails"]:
            lines.append("EMAIL;TYPE=INTERNET:%s" % (email.upper() if i % 2 else email))
        if i == 3:
            lines.append("NICKNAME:Dima")
        if i == 4:
            lines.append("ORG:Rossi & Figli;Sales")
        if i == 0:
            photo = base64.b64encode(TINY_PNG).decode()
            lines.append(fold("PHOTO;ENCODING=b;TYPE=PNG:" + photo))
        lines.append("END:VCARD")
        cards.append("\r\n".join(lines))
    # An organisation without a person's name.
    cards.append("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:\r\nORG:Dentist Office\r\nTEL:+1 555 000 1111\r\nEND:VCARD")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write("\r\n".join(cards) + "\r\n")


def generate(conn, rng, message_count, now):
    people = make_people(rng)
    unknown = [phone(rng) for _ in range(12)] + ["22395", "+447700900123"]
    handle_rows = {}
    for p in people:
        for h in p["handles"]:
            handle_rows[h] = None
    for h in unknown:
        handle_rows[h] = None
    for h in handle_rows:
        service = "iMessage" if "@" in h or h.startswith("+1") else "SMS"
        cur = conn.execute("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?, 'us', ?, ?)",
                           (h, service, h))
        handle_rows[h] = cur.lastrowid

    chats = []  # (rowid, guid, members(handle rowids), weight, is_group)
    for p in people:
        h = p["handles"][0]
        guid = "iMessage;-;" + h
        cur = conn.execute("INSERT INTO chat (guid, style, chat_identifier, service_name, display_name) "
                           "VALUES (?, 45, ?, 'iMessage', '')", (guid, h))
        chats.append((cur.lastrowid, guid, [handle_rows[h]], rng.choice([1, 2, 4, 8, 16]), False))
    for h in unknown:
        guid = "SMS;-;" + h
        cur = conn.execute("INSERT INTO chat (guid, style, chat_identifier, service_name, display_name) "
                           "VALUES (?, 45, ?, 'SMS', NULL)", (guid, h))
        chats.append((cur.lastrowid, guid, [handle_rows[h]], 1, False))
    names = ["Family", "Book club", "Climbing crew", "Kitchen project", "Q3 launch team"]
    for g in range(12):
        members = rng.sample(people[:39], rng.randrange(2, 6))
        ids = [handle_rows[m["handles"][0]] for m in members]
        if g == 11:
            ids.append(handle_rows[unknown[0]])  # a stranger in a group
        guid = "iMessage;+;chat%09d" % rng.randrange(10**9)
        name = names[g] if g < len(names) else None
        cur = conn.execute("INSERT INTO chat (guid, style, chat_identifier, service_name, display_name) "
                           "VALUES (?, 43, ?, 'iMessage', ?)", (guid, guid.split(";")[-1], name))
        chats.append((cur.lastrowid, guid, ids, rng.choice([4, 8, 12]), True))
    for rowid, _, ids, _, _ in chats:
        for h in ids:
            conn.execute("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)", (rowid, h))

    weights = [c[3] for c in chats]
    start = now - 540 * 86400  # eighteen months of history, a third outside the rolling window
    used_dates = set()
    rows = []
    while len(rows) < message_count:
        chat = rng.choices(chats, weights)[0]
        moment = start + rng.random() * (now - start - 86400)
        for _ in range(rng.randrange(1, 25)):
            if len(rows) >= message_count:
                break
            moment += rng.choice([5, 30, 90, 300, 900, 1800, 3 * 3600, 5 * 3600])
            rows.append((chat, moment))
    rows.sort(key=lambda r: r[1])

    attachment_count = 0
    for index, (chat, moment) in enumerate(rows):
        rowid_chat, guid_chat, ids, _, is_group = chat
        from_me = rng.random() < 0.45
        template = rng.choice(TEMPLATES)
        text = template.format(meal=rng.choice(MEALS), hour="%d:%02d" % (rng.randrange(7, 22), rng.choice([0, 15, 30, 45])),
                               place=rng.choice(PLACES), doc=rng.choice(DOCS), project=rng.choice(PROJECTS))
        roll = rng.random()
        if roll < 0.01:
            text = " ".join(rng.choice(text.split()) for _ in range(140))  # a long message (~800 characters)
        date_ns = nanos(moment) + index  # unique dates keep the order of equal times stable
        while date_ns in used_dates:
            date_ns += 1
        used_dates.add(date_ns)
        handle_id = 0 if (from_me and is_group) else rng.choice(ids)
        if not from_me and rng.random() < 0.01:
            handle_id = 0  # inbound without a handle
        body_text, body = text, None
        kind = rng.random()
        if kind < 0.05:
            body_text, body = None, archived_body(text)  # only the archived body
        elif kind < 0.06:
            body_text, body = "", archived_body(text)
        elif kind < 0.25:
            body = archived_body(text)
        guid = "%08X-%04X-%04X-%04X-%012X" % (rng.getrandbits(32), rng.getrandbits(16), rng.getrandbits(16),
                                               rng.getrandbits(16), rng.getrandbits(48))
        has_attachment = rng.random() < 0.04
        cur = conn.execute(
            "INSERT INTO message (guid, text, handle_id, attributedBody, service, date, date_read, is_from_me, "
            "is_read, cache_has_attachments) VALUES (?, ?, ?, ?, 'iMessage', ?, ?, ?, 1, ?)",
            (guid, body_text, handle_id, body, date_ns, date_ns + 60 * NS, 1 if from_me else 0, int(has_attachment)))
        mid = cur.lastrowid
        if rng.random() > 0.002:  # a few messages belong to no conversation
            conn.execute("INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)",
                         (rowid_chat, mid, date_ns))
        if has_attachment:
            for k in range(rng.randrange(1, 3)):
                attachment_count += 1
                name = "IMG_%04d.jpeg" % attachment_count
                filename = None if attachment_count % 17 == 0 else \
                    "~/Library/Messages/Attachments/%02x/%02d/%s/%s" % (mid % 256, k, guid, name)
                mime = None if attachment_count % 11 == 0 else "image/jpeg"
                cur = conn.execute("INSERT INTO attachment (guid, created_date, filename, uti, mime_type, "
                                   "transfer_name, total_bytes) VALUES (?, ?, ?, 'public.jpeg', ?, ?, ?)",
                                   ("at_%d_%s" % (k, guid), date_ns, filename, mime, name, 1000 + attachment_count))
                conn.execute("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)",
                             (mid, cur.lastrowid))

    # Rows the readers must skip or bound.
    odd_chat = chats[0]
    odd = [
        (None, "a message without a GUID", nanos(now - 3600)),
        ("ODD-REFERENCE-INSTANT", "dated exactly at the reference instant", 0),
        ("ODD-TWO-YEARS-AHEAD", "dated two years in the future", nanos(now + 730 * 86400)),
        ("ODD-TOMORROW", "dated tomorrow and still shown", nanos(now + 86400)),
    ]
    for guid, text, date_ns in odd:
        cur = conn.execute("INSERT INTO message (guid, text, handle_id, service, date, is_from_me) "
                           "VALUES (?, ?, ?, 'iMessage', ?, 0)", (guid, text, odd_chat[2][0], date_ns))
        conn.execute("INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)",
                     (odd_chat[0], cur.lastrowid, date_ns))

    # Deleted rows: most go with their joins, some leave an orphaned join behind.
    ids = [r[0] for r in conn.execute("SELECT ROWID FROM message")]
    for mid in rng.sample(ids, max(1, len(ids) // 50)):
        conn.execute("DELETE FROM message WHERE ROWID = ?", (mid,))
        if mid % 5:
            conn.execute("DELETE FROM chat_message_join WHERE message_id = ?", (mid,))
            conn.execute("DELETE FROM message_attachment_join WHERE message_id = ?", (mid,))
    return people


def write_backup(db_path, backup_dir):
    os.makedirs(backup_dir, exist_ok=True)
    file_id = hashlib.sha1(b"HomeDomain-Library/SMS/sms.db").hexdigest()
    os.makedirs(os.path.join(backup_dir, file_id[:2]), exist_ok=True)
    shutil.copyfile(db_path, os.path.join(backup_dir, file_id[:2], file_id))
    manifest_path = os.path.join(backup_dir, "Manifest.db")
    if os.path.exists(manifest_path):
        os.remove(manifest_path)
    manifest = sqlite3.connect(manifest_path)
    manifest.executescript("CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                           "flags INTEGER, file BLOB); CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);")
    entries = [("HomeDomain", "Library/SMS/sms.db"), ("HomeDomain", "Library/SMS"),
               ("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"), ("CameraRollDomain", "Media/DCIM")]
    for domain, rel in entries:
        fid = hashlib.sha1(("%s-%s" % (domain, rel)).encode()).hexdigest()
        manifest.execute("INSERT INTO Files VALUES (?, ?, ?, ?, NULL)", (fid, domain, rel, 1 if "." in rel else 2))
    manifest.commit()
    manifest.close()
    for name in ("Info.plist", "Manifest.plist", "Status.plist"):
        with open(os.path.join(backup_dir, name), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict/></plist>\n')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="database file to write (replaced)")
    parser.add_argument("--vcf", help="also write the matching address book here")
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("--now", type=float, default=None, help="seconds since 1970 (default: the current time)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--empty", action="store_true", help="only the schema")
    parser.add_argument("--wal", action="store_true", help="leave the database in WAL journal mode")
    parser.add_argument("--backup", help="also lay the database out as a phone backup in this folder")
    args = parser.parse_args()

    now = args.now if args.now is not None else time.time()
    tmp = args.out + ".tmp"
    for path in (tmp, tmp + "-journal", tmp + "-wal", tmp + "-shm"):
        if os.path.exists(path):
            os.remove(path)
    conn = sqlite3.connect(tmp)
    create_schema(conn, args.wal)
    people = []
    if not args.empty:
        people = generate(conn, random.Random(args.seed), args.messages, now)
    conn.commit()
    if not args.wal:
        conn.execute("VACUUM")
    conn.close()
    os.replace(tmp, args.out)
    if args.vcf and people:
        write_vcf(args.vcf, people)
    if args.backup:
        write_backup(args.out, args.backup)


if __name__ == "__main__":
    main()
