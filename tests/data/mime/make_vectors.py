#!/usr/bin/env python3
"""Writes coding_vectors.txt: reference encodings made by Python's own
base64, quopri and email.header modules, for the mime tests to check the
engine's encoders and decoders against, as rows of the case-file format
(tests/support/data_file.h). Re-run to regenerate:
    python3 tests/data/mime/make_vectors.py
"""
import base64
import email.header
import os
import quopri
import random

rng = random.Random(20090208)
lines = []

def esc(b):
    """Printable ASCII as it is, everything else (and "\\", "|") escaped."""
    return "".join(chr(c) if 32 <= c < 127 and c not in (92, 124) else "\\x%02x" % c for c in b)

def rand_bytes(n, alphabet=None):
    if alphabet is None:
        return bytes(rng.randrange(256) for _ in range(n))
    return bytes(rng.choice(alphabet) for _ in range(n))

# Base64 of random bytes, every length 0..70, then some long ones.
for n in list(range(0, 71)) + [rng.randrange(100, 3000) for _ in range(20)]:
    data = rand_bytes(n)
    lines.append("base64 %s | %s" % (esc(data), base64.b64encode(data).decode()))
    lines.append("unbase64 %s | %s" % (base64.b64encode(data).decode(), esc(data)))

# Quoted-printable text made by Python, which the engine must decode back.
text_alphabet = b"abcdefghij ABC.=\t\r\n\x00\xe9\xff?_,"
for n in [rng.randrange(1, 400) for _ in range(60)]:
    data = rand_bytes(n, text_alphabet)
    enc = quopri.encodestring(data, quotetabs=False)
    # quopri writes every line end as LF, so its own decoding is the reference.
    lines.append("unqp %s | %s" % (esc(enc), esc(quopri.decodestring(enc))))

# Encoded words made by email.header, which the engine must decode to UTF-8.
samples = ["Grüße aus Köln", "Привет, мир", "Ελληνικά", "plain ascii", "a_b=c?d",
           "Zażółć gęślą jaźń", "日本語のテキスト", "x" * 90 + "é"]
for s in samples:
    for cs in ["utf-8", "iso-8859-1", "iso-8859-2", "iso-8859-5", "iso-8859-7"]:
        try:
            s.encode(cs)
        except UnicodeEncodeError:
            continue
        for enc in ["q", "b"]:
            charset = email.charset.Charset(cs)
            charset.header_encoding = email.charset.QP if enc == "q" else email.charset.BASE64
            h = email.header.Header(s, charset).encode(linesep="\r\n")
            lines.append("words %s | %s" % (esc(h.encode()), esc(s.encode("utf-8"))))

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "coding_vectors.txt")
with open(out, "w") as f:
    f.write("\n".join(lines) + "\n")
