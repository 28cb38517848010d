#!/usr/bin/env python3
"""Writes messages made by Python's email package, for the engine to read.

Usage: make_messages.py DIR
For each message N: DIR/msgN.eml (CRLF text) and DIR/msgN.txt with lines
  SUBJECT hex                  the decoded Subject, UTF-8
  TO hex                       the decoded To header, UTF-8
  PART i type hex              walk() order; the decoded payload, text
                               parts as UTF-8 (multiparts: "-")
  FILENAME i hex               get_filename(), UTF-8
"""
import email
import email.policy
import sys
from email.message import EmailMessage

out = sys.argv[1]


def h(b):
    return b.hex() if b else "-"


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


for n, m in enumerate(messages()):
    raw = m.as_bytes(policy=email.policy.SMTP)
    back = email.message_from_bytes(raw, policy=email.policy.default)
    lines = ["SUBJECT " + h(str(back["Subject"]).encode("utf-8")),
             "TO " + h(str(back["To"]).encode("utf-8"))]
    for i, part in enumerate(back.walk()):
        if part.is_multipart():
            payload = b""
        elif part.get_content_maintype() == "text":
            payload = part.get_payload(decode=True).decode(part.get_content_charset() or "us-ascii").encode("utf-8")
        else:
            payload = part.get_payload(decode=True)
        lines.append("PART %d %s %s" % (i, part.get_content_type(), h(payload)))
        if part.get_filename():
            lines.append("FILENAME %d %s" % (i, h(part.get_filename().encode("utf-8"))))
    open("%s/msg%d.eml" % (out, n), "wb").write(raw)
    open("%s/msg%d.txt" % (out, n), "w").write("\n".join(lines) + "\n")
print(n + 1)
