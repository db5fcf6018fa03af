#!/usr/bin/python3
"""Reads vCard files with Debian's python3-vobject and prints, as JSON, the
cards an independent reader sees: for each card its FN, the family and given
names of N, the first NICKNAME, the ORG components, and the TEL and EMAIL
values in file order.

  vcard_reference.py FILE...

vobject reads text and decodes CHARSET only for quoted-printable values, and
does not join quoted-printable soft line breaks. So the bytes are prepared
first: soft breaks are joined, and every other line is decoded in the
CHARSET of the property it belongs to (folded continuation lines included),
falling back to UTF-8 and then Latin-1 when the charset is unknown or does
not fit. Everything else (unfolding, parameters, escapes, structured values,
quoted-printable with its charset) is vobject's.
"""
import json
import re
import sys

import vobject

CHARSET = re.compile(rb";\s*CHARSET\s*=\s*\"?([^;:\"]+)", re.IGNORECASE)
QUOTED_PRINTABLE = re.compile(rb"QUOTED-PRINTABLE", re.IGNORECASE)


def decode(raw, charset):
    names = ([charset] if charset else []) + ["utf-8", "latin-1"]
    for name in names:
        try:
            return raw.decode(name)
        except (LookupError, UnicodeDecodeError):
            continue
    raise AssertionError("latin-1 decodes every byte")


def prepare(data):
    physical = data.replace(b"\r\n", b"\n").split(b"\n")
    joined = []
    for line in physical:
        previous = joined[-1] if joined else b""
        header = previous.split(b":", 1)[0]
        if previous.endswith(b"=") and QUOTED_PRINTABLE.search(header):
            joined[-1] = previous[:-1] + line
        else:
            joined.append(line)
    out = []
    charset = None
    for line in joined:
        if line[:1] in (b" ", b"\t"):
            out.append(decode(line, charset))
            continue
        header, colon, value = line.partition(b":")
        found = CHARSET.search(header)
        charset = found.group(1).decode("ascii").strip() if found else None
        out.append(header.decode("ascii", "replace") + colon.decode() + decode(value, charset))
    return "\r\n".join(out)


def text(value):
    if isinstance(value, list):
        return " ".join(value)
    return value or ""


def card_json(card):
    contents = card.contents
    out = {"fn": "", "family": "", "given": "", "nickname": "", "org": [], "tels": [], "emails": []}
    if "fn" in contents:
        out["fn"] = contents["fn"][0].value.strip()
    if "n" in contents:
        name = contents["n"][0].value
        out["family"] = text(name.family).strip()
        out["given"] = text(name.given).strip()
    if "nickname" in contents:
        out["nickname"] = contents["nickname"][0].value.split(",")[0].strip()
    if "org" in contents:
        out["org"] = [part.strip() for part in contents["org"][0].value]
    out["tels"] = [line.value.strip() for line in contents.get("tel", [])]
    out["emails"] = [line.value.strip() for line in contents.get("email", [])]
    return out


def main():
    result = {}
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            prepared = prepare(f.read())
        result[path] = [card_json(c) for c in vobject.readComponents(prepared)]
    json.dump(result, sys.stdout, ensure_ascii=False, indent=1)


if __name__ == "__main__":
    main()
