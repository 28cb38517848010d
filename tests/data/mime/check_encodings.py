#!/usr/bin/env python3
"""Checks the engine's encoder output against Python's own decoders.

Called by the mime tests with a file of lines "KIND input-hex output-hex":
  B64L  base64 in lines        (base64.b64decode)
  QP    quoted-printable       (quopri.decodestring)
  QW    Q encoded-word text    (email.header.decode_header)
Prints every mismatch and exits 1 when there is one.
"""
import base64
import email.header
import quopri
import sys

bad = 0

def fail(kind, i, why):
    global bad
    bad += 1
    print("%s #%d: %s" % (kind, i, why))

for i, line in enumerate(open(sys.argv[1])):
    kind, inp, out = line.split()
    data = bytes.fromhex(inp if inp != "-" else "")
    text = bytes.fromhex(out if out != "-" else "")
    if kind == "B64L":
        body = text.split(b"\r\n")
        if data and not text.endswith(b"\r\n"):
            fail(kind, i, "no final line end")
        if any(len(l) > 72 for l in body):
            fail(kind, i, "line longer than 72")
        if base64.b64decode(b"".join(body), validate=True) != data:
            fail(kind, i, "decodes differently")
    elif kind == "QP":
        if quopri.decodestring(text) != data:
            fail(kind, i, "decodes differently")
        for l in text.split(b"\r\n"):
            if len(l) > 76:
                fail(kind, i, "line longer than 76: %r" % l)
            if l.endswith(b" ") or l.endswith(b"\t"):
                fail(kind, i, "blank at line end")
            if l.startswith(b".") or l.startswith(b"From "):
                fail(kind, i, "unsafe line start %r" % l[:5])
    elif kind == "QW":
        word = b"=?utf-8?q?" + text + b"?="
        parts = email.header.decode_header(word.decode("ascii"))
        if parts[0][0] != data:
            fail(kind, i, "decodes differently")
        if any(c in b" ?\t\r\n" for c in text):
            fail(kind, i, "character not allowed inside a word")
sys.exit(1 if bad else 0)
