#!/usr/bin/env python3
"""Generates text/generated/charset_names.inc: the accepted charset names with
their code pages, and the canonical name of each code page.

Source of the accepted names: ../shared/charset-names.tsv (name, code page as
established from Microsoft's code-page identifier table, basis). Rows marked
"unknown" there are decided below in UNKNOWN_DECISIONS. The canonical names
are the list of canonical names (codePageToName).

Usage: gen-charset-names.py [--tsv PATH] [--out DIR]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Decisions for the rows the TSV marks unknown. Where Microsoft's code-page
# identifier table lists a number for the name, that number is used (the
# conversion then fails like any page without a table, but the name is known).
UNKNOWN_DECISIONS = {
    # ISO-2022-JP extensions: no Microsoft identifier of their own. Their
    # common base is ISO-2022-JP, whose Microsoft page is 50220 (the family
    # 50220-50222); we resolve them there.
    "iso-2022-jp-1": 50220,
    "iso-2022-jp-2": 50220,
    "x-cp21027": 21027,            # Microsoft: 21027 (Ext Alpha Lowercase)
    "x-ebcdic-japaneseanduscanada": 50931,  # Microsoft: 50931
    "x-user-defined": 50000,       # Microsoft: 50000 (user defined)
    "cp930": 50930,
    "cp933": 50933,
    "cp935": 50935,
    "cp937": 50937,
    "cp939": 50939,
    # Generic "ebcdic": no Microsoft entry; resolved to the basic EBCDIC page,
    # IBM EBCDIC US-Canada (37), which "ebcdic-cp-us" and "cp037" also name.
    "ebcdic": 37,
    "euc-tw": 51950,               # Microsoft: 51950 (EUC Traditional Chinese)
    "asmo-449": 709,               # Microsoft: 709 (Arabic ASMO-449+, BCON V4)
    "asmo-449+": 709,
}

CANONICAL = [
    (20127, "us-ascii"), (1200, "unicode"), (1201, "unicodefffe"), (65000, "utf-7"),
    (65001, "utf-8"), (65005, "utf-32"), (65006, "utf-32be"),
] + [(28590 + i, "iso-8859-%d" % i) for i in range(1, 10)] + [
    (28603, "iso-8859-13"), (28605, "iso-8859-15"), (38598, "iso-8859-8-i"),
    (50220, "iso-2022-jp"), (50222, "iso-2022-jp"), (50221, "csiso2022jp"),
    (50225, "iso-2022-kr"), (50227, "x-cp50227"), (51932, "euc-jp"), (20932, "euc-jp"),
    (51936, "euc-cn"), (51949, "euc-kr"), (52936, "hz-gb-2312"), (54936, "gb18030"),
    (932, "shift_jis"), (936, "gb2312"), (949, "ks_c_5601-1987"), (950, "big5"),
    (1361, "johab"),
] + [(1250 + i, "windows-%d" % (1250 + i)) for i in range(9)] + [
    (874, "windows-874"), (10000, "macintosh"), (10001, "x-mac-japanese"),
    (10002, "x-mac-chinesetrad"), (10003, "x-mac-korean"), (10004, "x-mac-arabic"),
    (10005, "x-mac-hebrew"), (10006, "x-mac-greek"), (10007, "x-mac-cyrillic"),
    (10008, "x-mac-chinesesimp"), (10010, "x-mac-romanian"), (10017, "x-mac-ukrainian"),
    (10021, "x-mac-thai"), (10029, "x-mac-ce"), (10079, "x-mac-icelandic"),
    (10081, "x-mac-turkish"), (10082, "x-mac-croatian"), (37, "ibm037"), (437, "ibm437"),
    (500, "ibm500"), (708, "asmo-708"), (720, "dos-720"), (737, "ibm737"), (775, "ibm775"),
    (850, "ibm850"), (852, "ibm852"), (855, "ibm855"), (857, "ibm857"), (858, "ibm00858"),
    (860, "ibm860"), (861, "ibm861"), (862, "dos-862"), (863, "ibm863"), (864, "ibm864"),
    (865, "ibm865"), (866, "cp866"), (869, "ibm869"), (870, "ibm870"), (875, "cp875"),
    (1026, "ibm1026"), (1047, "ibm01047"),
] + [(1140 + i, "ibm0%d" % (1140 + i)) for i in range(10)] + list(zip(
    range(57002, 57012),
    ["x-iscii-de", "x-iscii-be", "x-iscii-ta", "x-iscii-te", "x-iscii-as", "x-iscii-or",
     "x-iscii-ka", "x-iscii-ma", "x-iscii-gu", "x-iscii-pa"])) + [
    (20000, "x-chinese-cns"), (20001, "x-cp20001"), (20002, "x-chinese-eten"),
    (20003, "x-cp20003"), (20004, "x-cp20004"), (20005, "x-cp20005"), (20105, "x-ia5"),
    (20106, "x-ia5-german"), (20107, "x-ia5-swedish"), (20108, "x-ia5-norwegian"),
    (20261, "x-cp20261"), (20269, "x-cp20269"), (20273, "ibm273"), (20277, "ibm277"),
    (20278, "ibm278"), (20280, "ibm280"), (20284, "ibm284"), (20285, "ibm285"),
    (20290, "ibm290"), (20297, "ibm297"), (20420, "ibm420"), (20423, "ibm423"),
    (20424, "ibm424"), (20833, "x-ebcdic-koreanextended"), (20838, "ibm-thai"),
    (20866, "koi8-r"), (20871, "ibm871"), (20880, "ibm880"), (20905, "ibm905"),
    (20924, "ibm00924"), (20936, "x-cp20936"), (20949, "x-cp20949"), (21025, "cp1025"),
    (21866, "koi8-u"), (29001, "x-europa"),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tsv", default=os.path.join(os.path.dirname(ROOT), "shared",
                                                  "charset-names.tsv"))
    ap.add_argument("--out", default=os.path.join(ROOT, "text", "generated"))
    args = ap.parse_args()

    rows = []
    with open(args.tsv, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for line in lines[1:]:
        if not line.strip():
            continue
        name, cp, basis = line.split("\t")
        cp = int(cp)
        if basis.startswith("unknown"):
            cp = UNKNOWN_DECISIONS[name]
        rows.append((name, cp))
    names = [r[0] for r in rows]
    if len(names) != 411 or len(set(names)) != 411:
        sys.exit("expected 411 distinct names, got %d" % len(set(names)))
    missing = set(UNKNOWN_DECISIONS) - set(names)
    if missing:
        sys.exit("decisions for names not in the table: %s" % sorted(missing))

    canon = sorted(CANONICAL)
    out = []
    out.append("// Generated by scripts/gen-charset-names.py from charset-names.tsv. Do not edit.")
    out.append("// Accepted names (normalised: lower case, '-' for '_'), sorted for binary")
    out.append("// search, with their code pages; \"ansi\" (0) stands for the ANSI code page.")
    out.append("static const CharsetNameEntry kAcceptedNames[%d] = {" % len(rows))
    for name, cp in sorted(rows, key=lambda r: r[0].encode()):
        out.append('    {"%s", %d},' % (name, cp))
    out.append("};")
    out.append("")
    out.append("// Canonical name of each code page, sorted by code page.")
    out.append("static const CodePageNameEntry kCanonicalNames[%d] = {" % len(canon))
    for cp, name in canon:
        out.append('    {%d, "%s"},' % (cp, name))
    out.append("};")
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "charset_names.inc"), "w", encoding="utf-8",
              newline="\n") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
