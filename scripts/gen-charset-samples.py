#!/usr/bin/env python3
"""Generates the cross-check data of the charset tests under
tests/data/charsets/:

samples.tsv      per table page that has a second, independent source (the
                 other of Python's codecs and glibc's iconv): a sample text
                 (UTF-8, hex) and its bytes in that page as the *other* source
                 encodes them (hex). The sample holds ASCII letters (on pages
                 whose low half is ASCII) and up to 48 characters spread over
                 the page's table, skipping characters on which the two
                 sources disagree. Also ISO-2022-JP (50220) and ISO-2022-KR
                 (50225) samples encoded by Python's iso2022_jp / iso2022_kr.
cross-check.tsv  per page: how many of the table's mappings the other source
                 decodes the same way, and how many differently.

Usage: gen-charset-samples.py [--out DIR]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import charset_sources as cs  # noqa: E402

ROOT = os.path.dirname(HERE)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join(ROOT, "tests", "data", "charsets"))
    args = ap.parse_args()
    samples = ["# page\tother source\ttext (UTF-8 hex)\tbytes by the other source (hex)"]
    cross = ["# page\tsource\tother source\tmappings\tdecoded the same by other\t"
             "decoded differently by other\tcharacters the other encodes to another sequence"]
    for cp in sorted(cs.PAGES):
        kind, src, other = cs.PAGES[cp]
        if not other or not cs.available(src) or not cs.available(other):
            continue
        maps = cs.mappings(cp)
        agree = []
        differ = 0
        enc_differ = 0
        for seq, u in sorted(maps.items(), key=lambda kv: (len(kv[0]), kv[0])):
            theirs = cs.encode(other, chr(u))
            ours = cs.encode(src, chr(u))
            if cs.decode(other, seq) != chr(u):
                differ += 1
            elif theirs == seq and ours == seq:
                agree.append((seq, u))
            elif ours == seq and theirs != seq:
                enc_differ += 1
        cross.append("%d\t%s\t%s\t%d\t%d\t%d\t%d" % (cp, cs.describe(src), cs.describe(other),
                                                     len(maps), len(maps) - differ, differ,
                                                     enc_differ))
        high = [a for a in agree if a[1] >= 0x80]
        step = max(1, len(high) // 48)
        picked = high[::step][:48]
        text = ""
        if all(maps.get(bytes([b])) == b for b in range(0x20, 0x7F)):
            text = "Az09 "
        text += "".join(chr(u) for _, u in picked)
        enc = cs.encode(other, text)
        if enc is None:
            sys.exit("page %d: the other source cannot encode the sample" % cp)
        samples.append("%d\t%s\t%s\t%s" % (cp, cs.describe(other), text.encode("utf-8").hex(),
                                           enc.hex()))
    for cp, codec, text in [
        (50220, "iso2022_jp", "日本語のテキスト\r\nカタカナ ABC\r\n漢字とかな。"),
        (50225, "iso2022_kr", "한국어 텍스트 abc\r\n안녕하세요.\r\n"),
    ]:
        samples.append("%d\tPython codecs '%s'\t%s\t%s" % (cp, codec, text.encode("utf-8").hex(),
                                                          text.encode(codec).hex()))
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "samples.tsv"), "w", newline="\n") as f:
        f.write("\n".join(samples) + "\n")
    with open(os.path.join(args.out, "cross-check.tsv"), "w", newline="\n") as f:
        f.write("\n".join(cross) + "\n")


if __name__ == "__main__":
    main()
