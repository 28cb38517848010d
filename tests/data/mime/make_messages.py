#!/usr/bin/env python3
"""Writes python_made.txt: messages made by Python's email package, each
followed by what Python reads in it, as cases in the notation of trees.txt,
for the engine to read the same (cases_test.cpp). Re-run to regenerate:
    python3 tests/data/mime/make_messages.py
"""
import email
import email.policy
import os
import random
from email.message import EmailMessage


def esc(b):
    """Printable ASCII as it is, everything else (and "\\", "|", "{") escaped."""
    return "".join(chr(c) if 32 <= c < 127 and c not in (92, 123, 124) else "\\x%02x" % c
                   for c in b)


def esc_message(raw):
    """One line of the message per line of the file: each line but the last
    ends in "\\r\\n\\" (goes on in the next), a blank that starts one is "\\s"."""
    lines = [esc(l) for l in raw.split(b"\r\n")]
    lines = [("\\s" + l[1:]) if l.startswith(" ") else l for l in lines]
    ends = lines[-1] == ""
    text = "\\r\\n\\\n    ".join(lines[:-1] if ends else lines)
    return text + ("\\r\\n" if ends else "")


def utf8(s):
    return esc(s.encode("utf-8"))


def messages():
    m = EmailMessage()
    m["Subject"] = "Gr\u00fc\u00dfe \u2013 \u041f\u0440\u0438\u0432\u0435\u0442 and a long tail of words to fold"
    m["From"] = "J\u00fcrgen M\u00fcller <j@example.de>"
    m["To"] = "Zo\u00eb Smith <z@example.com>, b@example.com"
    m.set_content("caf\u00e9 line one\nline two\n", charset="iso-8859-1", cte="quoted-printable")
    m.add_attachment(bytes(range(256)) * 3, maintype="application", subtype="octet-stream",
                     filename="R\u00e9sum\u00e9 \u00fcber alles.bin")
    m.add_attachment("\u3042\u3044\u3046 text\n", subtype="plain", charset="utf-8",
                     filename="notes.txt", cte="base64")
    yield m

    m = EmailMessage()
    m["Subject"] = "\u65e5\u672c\u8a9e\u306e\u4ef6\u540d"
    m["To"] = "a@example.com"
    m.set_content("plain \u0436\n", charset="koi8-r")
    m.add_alternative("<html><body><p>html \u0436</p></body></html>\n", subtype="html", charset="utf-8")
    yield m

    m = EmailMessage()
    m["Subject"] = "nested"
    m["To"] = "a@example.com"
    m.set_content("p\n")
    m.add_alternative("<p>h</p>\n", subtype="html")
    m.add_attachment(b"\x00\x01\x02", maintype="image", subtype="png", filename="\u0444\u043e\u0442\u043e.png")
    yield m


random.seed(20090208)  # the boundaries, so that a re-run writes the same file
lines = ["# Made by make_messages.py from Python's email package; do not edit.",
         "# Each message as Python wrote it, then what Python reads in it: the",
         "# decoded Subject, every To address, and for every entity (walk() order)",
         "# its type, its parts or decoded payload (text as UTF-8), its file name.",
         "# Last, Python reads what we render from it without defects."]
for m in messages():
    raw = m.as_bytes(policy=email.policy.SMTP)
    back = email.message_from_bytes(raw, policy=email.policy.default)
    lines += ["", "parse " + esc_message(raw), "?field Subject | " + utf8(str(back["Subject"]))]
    to = back["To"].addresses
    lines.append("?numto %d" % len(to))
    for j, a in enumerate(to):
        name = a.display_name + " " if a.display_name else ""
        lines.append("?to %d | %s<%s>" % (j, utf8(name), utf8(a.addr_spec)))

    def walk(part, path):
        lines.append(" ".join(["at"] + [str(k) for k in path]))
        lines.append("?type " + part.get_content_type())
        if part.get_filename():
            lines.append("?filename " + utf8(part.get_filename()))
        if part.is_multipart():
            lines.append("?parts %d" % len(part.get_payload()))
            for k, sub in enumerate(part.get_payload()):
                walk(sub, path + [k])
        elif part.get_content_maintype() == "text":
            payload = part.get_payload(decode=True)
            lines.append("?body " + utf8(payload.decode(part.get_content_charset() or "us-ascii")))
        else:
            lines.append("?body " + esc(part.get_payload(decode=True)))

    walk(back, [])
    lines += ["at", "?python"]
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "python_made.txt")
with open(out, "w") as f:
    f.write("\n".join(lines) + "\n")
