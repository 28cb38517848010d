#!/usr/bin/env python3
"""Reads a message the engine rendered with Python's email package and
compares it with what the test expected.

Usage: check_mime.py MESSAGE EXPECT
MESSAGE holds the raw text. EXPECT holds lines, every value in hex
("-" for empty), parts numbered in walk() order (0 = the message):
  PARTS n                      number of entities
  TYPE i content/type m        m = 1 for a multipart
  BODY i hex                   decoded payload bytes of a leaf
  TEXT i hex                   get_content() of a text leaf, as UTF-8
  FILENAME i hex               get_filename(), as UTF-8
  HEADER i Name hex            str(part[Name]) after decoding, as UTF-8
  ADDR i Name j hexname hexaddr   address j of an address header
Also checked always: no defects anywhere, no line over 998 octets, no bare
CR or LF. Prints every mismatch and exits 1 when there is one.
"""
import email
import email.policy
import sys

bad = 0
QUOTED_WORD_NOTES = ("encoded word inside quoted string",
                     "missing trailing whitespace after encoded-word")


def fail(why):
    global bad
    bad += 1
    print(why)


def unhex(h):
    return b"" if h == "-" else bytes.fromhex(h)


raw = open(sys.argv[1], "rb").read()
i = 0
while i < len(raw):
    c = raw[i]
    if c == 0x0D:
        if i + 1 >= len(raw) or raw[i + 1] != 0x0A:
            fail("bare CR at %d" % i)
        else:
            i += 1
    elif c == 0x0A:
        fail("bare LF at %d" % i)
    i += 1
for n, line in enumerate(raw.split(b"\r\n")):
    if len(line) > 998:
        fail("line %d is %d octets long" % (n, len(line)))

msg = email.message_from_bytes(raw, policy=email.policy.default)
parts = list(msg.walk())
for k, part in enumerate(parts):
    if part.defects:
        fail("part %d defects: %r" % (k, part.defects))
    for name, value in part.items():
        d = getattr(value, "defects", ())
        if name.lower() in ("content-type", "content-disposition"):
            # A file name is sent as a quoted encoded word on purpose (the
            # form most mail readers understand); Python reads it correctly
            # but notes that RFC 2047 does not bless it.
            d = [x for x in d if str(x) not in QUOTED_WORD_NOTES]
        if d:
            fail("part %d header %s defects: %r" % (k, name, d))

for line in open(sys.argv[2], encoding="ascii"):
    f = line.split()
    if not f:
        continue
    kind = f[0]
    if kind == "PARTS":
        if len(parts) != int(f[1]):
            fail("%d parts, expected %s" % (len(parts), f[1]))
        continue
    k = int(f[1])
    if k >= len(parts):
        fail("no part %d" % k)
        continue
    part = parts[k]
    if kind == "TYPE":
        if part.get_content_type() != f[2] or int(part.is_multipart()) != int(f[3]):
            fail("part %d is %s/%d, expected %s/%s" % (k, part.get_content_type(), part.is_multipart(), f[2], f[3]))
    elif kind == "BODY":
        got = part.get_payload(decode=True) or b""
        if got != unhex(f[2]):
            fail("part %d body %r, expected %r" % (k, got[:80], unhex(f[2])[:80]))
    elif kind == "TEXT":
        got = part.get_content()
        if got != unhex(f[2]).decode("utf-8"):
            fail("part %d text %r, expected %r" % (k, got[:80], unhex(f[2]).decode("utf-8")[:80]))
    elif kind == "FILENAME":
        got = part.get_filename()
        if got != unhex(f[2]).decode("utf-8"):
            fail("part %d filename %r, expected %r" % (k, got, unhex(f[2]).decode("utf-8")))
    elif kind == "HEADER":
        got = part[f[2]]
        want = unhex(f[3]).decode("utf-8")
        if got is None or str(got) != want:
            fail("part %d header %s %r, expected %r" % (k, f[2], None if got is None else str(got), want))
    elif kind == "ADDR":
        got = part[f[2]]
        j = int(f[3])
        addrs = got.addresses if got is not None else ()
        if j >= len(addrs):
            fail("part %d header %s has no address %d" % (k, f[2], j))
        else:
            a = addrs[j]
            want = (unhex(f[4]).decode("utf-8"), unhex(f[5]).decode("utf-8"))
            if (a.display_name, a.addr_spec) != want:
                fail("part %d %s address %d is %r, expected %r" % (k, f[2], j, (a.display_name, a.addr_spec), want))
    else:
        fail("unknown expectation " + kind)
sys.exit(1 if bad else 0)
