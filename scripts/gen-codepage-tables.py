#!/usr/bin/env python3
"""Generates text/generated/codepage_tables.inc, the compact code-page tables
that text/code_page_tables.cpp expands on first use, and
text/generated/codepage_sources.txt, which lists the source of each page.

The mappings come from the published tables available on this machine:
Python's codecs module and glibc's iconv, and for six pages neither has, the
data files of Windows' converter in codepages/ (beside the repository, or the
copy under tests/data/charsets/codepages/); scripts/charset_sources.py says
which page comes from which. The right-to-left class of x-mac-arabic bytes
comes from the bidi classes of UnicodeData.txt (Debian package unicode-data).

Usage:
  gen-codepage-tables.py [--out DIR]        write the files
  gen-codepage-tables.py --check DIR        compare the files in DIR with what
                                            this machine's sources give; pages
                                            whose source is absent are skipped.
                                            Exit 0 same, 1 different, 77 when
                                            no source at all is present.
  gen-codepage-tables.py --compare-iconv DIR
                                            decode every double-byte pair of
                                            the multi-byte pages in DIR's
                                            tables and with glibc iconv, which
                                            shares no code with the generator's
                                            primary sources for most of them.
                                            Exit 0 same (apart from the known
                                            differences below), 1 different,
                                            77 when iconv has none of them.
"""
import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import charset_sources as cs  # noqa: E402

ROOT = os.path.dirname(HERE)
UNICODE_DATA = "/usr/share/unicode/UnicodeData.txt"


def key_of(seq):
    k = 0
    for b in seq:
        k = (k << 8) | b
    return len(seq), k


def single_stream(cp, maps):
    table = [0] * 256
    for seq, u in maps.items():
        table[seq[0]] = u
    ascii_low = all(table[b] == b for b in range(1, 128))
    values = table[128:] if ascii_low else table
    return ascii_low, values, table


def multi_stream(maps):
    items = sorted((key_of(s), u) for s, u in maps.items())
    stream = []
    i = 0
    n = len(items)
    while i < n:
        (ln, k), u = items[i]
        # Linear run: consecutive keys with consecutive values.
        j = i + 1
        while (j < n and items[j][0][0] == ln and items[j][0][1] == k + (j - i)
               and items[j][1] == u + (j - i) and j - i < 0xFFFF):
            j += 1
        if j - i >= 3:
            stream += [(ln << 12) | (k >> 16), k & 0xFFFF, j - i, u]
            i = j
            continue
        # Literal run: consecutive keys until a linear run of 3 would start.
        j = i + 1
        while j < n and items[j][0][0] == ln and items[j][0][1] == k + (j - i) and j - i < 0xFFFF:
            if (j + 2 < n and items[j + 1][0] == (ln, items[j][0][1] + 1)
                    and items[j + 2][0] == (ln, items[j][0][1] + 2)
                    and items[j + 1][1] == items[j][1] + 1 and items[j + 2][1] == items[j][1] + 2):
                break
            j += 1
        stream += [(ln << 12) | 0x100 | (k >> 16), k & 0xFFFF, j - i]
        stream += [items[x][1] for x in range(i, j)]
        i = j
    return stream


def reverse_overrides(cp, maps):
    """Units whose source encoder picks another byte sequence than the lowest
    one decoding to the unit (the expander's default)."""
    src = cs.PAGES[cp][1]
    lowest = {}
    for seq, u in sorted(maps.items(), key=lambda kv: key_of(kv[0])):
        lowest.setdefault(u, seq)
    out = []
    for u, seq in sorted(lowest.items()):
        enc = cs.encode(src, chr(u))
        if enc is None and src[0] == "file":
            out += [u, 0, 0]  # decode-only: the unit has no encoded form
            continue
        if enc is not None and enc != seq and maps.get(enc) == u:
            ln, k = key_of(enc)
            out += [u, (ln << 8) | (k >> 16), k & 0xFFFF]
    return out


def bidi_classes():
    classes = {}
    with open(UNICODE_DATA, encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            classes[int(fields[0], 16)] = fields[4]
    return classes


def mac_arabic_rtl(maps):
    """32 bytes, bit b set when byte b is right-to-left: its character's bidi
    class is R or AL, or it is one of Apple's right-to-left duplicates of an
    ASCII character (a byte of 0x80 or above that maps below 0x80)."""
    bidi = bidi_classes()
    bits = [0] * 32
    for seq, u in maps.items():
        b = seq[0]
        if b < 0x20:
            continue
        if bidi.get(u) in ("R", "AL") or (b >= 0x80 and u < 0x80):
            bits[b >> 3] |= 1 << (b & 7)
    return bits


def kana_table():
    """For each half-width katakana byte 0xA1..0xDF of Shift_JIS: the
    Shift_JIS code of its full-width form, of that form with the voiced sound
    mark merged and with the semi-voiced mark merged (0 when no such
    character exists). From UnicodeData.txt (<narrow> and canonical
    decompositions) and Python's cp932 codec."""
    decomp = {}
    with open(UNICODE_DATA, encoding="utf-8") as f:
        for line in f:
            r = line.split(";")
            if r[5]:
                decomp[int(r[0], 16)] = r[5]
    compose = {}
    for cp, d in decomp.items():
        if not d.startswith("<"):
            parts = tuple(int(x, 16) for x in d.split())
            if len(parts) == 2:
                compose[parts] = cp
    spacing = {0x3099: 0x309B, 0x309A: 0x309C}

    def sjis(c):
        try:
            b = chr(c).encode("cp932")
        except UnicodeEncodeError:
            return 0  # no Shift_JIS form: not merged
        return (b[0] << 8) | b[1]
    out = []
    for b in range(0xA1, 0xE0):
        hw = ord(bytes([b]).decode("cp932"))
        d = decomp[hw]
        assert d.startswith("<narrow> ")
        full = int(d.split()[1], 16)
        voiced = compose.get((full, 0x3099))
        semi = compose.get((full, 0x309A))
        full = spacing.get(full, full)
        out += [sjis(full), sjis(voiced) if voiced else 0, sjis(semi) if semi else 0]
        assert out[-3]
    return out


def fmt_array(ctype, name, values, per_line=16, hexw=4):
    lines = ["static const %s %s[%d] = {" % (ctype, name, max(len(values), 1))]
    if not values:
        values = [0]
    for i in range(0, len(values), per_line):
        lines.append("    " + ", ".join("0x%0*X" % (hexw, v) for v in values[i:i + per_line]) + ",")
    lines.append("};")
    return lines


def check_best_fit(cp, pf):
    """The best-fit pairs are encoder-only: each names a unit the page does
    not round-trip and bytes that decode (to another unit). The converter
    does no best fit on any page, so they are checked, not carried."""
    enc = pf.encoding()
    dec = pf.decoding()
    for u, seq in pf.best_fit.items():
        if u in enc:
            sys.exit("page %d: best-fit U+%04X also round-trips" % (cp, u))
        if seq not in dec and len(seq) == 1 and seq[0] not in (0x3F, 0x6F):
            sys.exit("page %d: best-fit bytes %s do not decode" % (cp, seq.hex()))


def page_section(cp):
    kind, src, _ = cs.PAGES[cp]
    maps = cs.mappings(cp)
    lines = ["// BEGIN page %d: %s, %s, %d mappings" % (cp, kind, cs.describe(src), len(maps))]
    if kind == "single":
        ascii_low, values, _ = single_stream(cp, maps)
        lines += fmt_array("uint16_t", "kData%d" % cp, values)
    else:
        ascii_low = all(maps.get(bytes([b])) == b for b in range(1, 128))
        lines += fmt_array("uint16_t", "kData%d" % cp, multi_stream(maps))
        values = None
    rev = reverse_overrides(cp, maps)
    lines += fmt_array("uint16_t", "kRev%d" % cp, rev)
    dlen = len(values) if kind == "single" else len(multi_stream(maps))
    extra = "nullptr"
    if cp == 10004:
        lines += fmt_array("uint8_t", "kRtl%d" % cp, mac_arabic_rtl(maps), hexw=2)
        extra = "kRtl%d" % cp
    default_unit, seq_bits = 0, "nullptr"
    if src[0] == "file":
        pf = cs.page_file(src[1])
        check_best_fit(cp, pf)
        default_unit = pf.default_unit
        if pf.leads:
            bits = [0] * 64
            for b in pf.leads:
                bits[b >> 3] |= 1 << (b & 7)
            for b in pf.trails:
                bits[32 + (b >> 3)] |= 1 << (b & 7)
            lines += fmt_array("uint8_t", "kSeq%d" % cp, bits, hexw=2)
            seq_bits = "kSeq%d" % cp
    desc = ('    {%d, %s, %s, kData%d, %d, kRev%d, %d, %s, "%s", 0x%04X, %s},  // page %d' %
            (cp, "true" if kind == "multi" else "false", "true" if ascii_low else "false",
             cp, dlen, cp, len(rev) // 3, extra, cs.describe(src).replace('"', "'"),
             default_unit, seq_bits, cp))
    lines.append("// END page %d" % cp)
    return lines, desc, len(maps)


def generate(only_available):
    sections = {}
    descs = {}
    counts = {}
    skipped = []
    for cp in sorted(cs.PAGES):
        src = cs.PAGES[cp][1]
        if not cs.available(src) or (cp == 10004 and not os.path.exists(UNICODE_DATA)):
            if only_available:
                skipped.append(cp)
                continue
            sys.exit("source %s for page %d is not available here" % (cs.describe(src), cp))
        sections[cp], descs[cp], counts[cp] = page_section(cp)
    return sections, descs, counts, skipped


HEADER = [
    "// Generated by scripts/gen-codepage-tables.py. Do not edit.",
    "// Compact code-page tables: single-byte pages hold their 256 (or, when",
    "// bytes below 0x80 are ASCII, their upper 128) UTF-16 units; multi-byte",
    "// pages hold runs [len<<12|literal<<8|key>>16, key&0xFFFF, count, values]",
    "// (a linear run has one start value). kRev* lists [unit, len<<8|key>>16,",
    "// key&0xFFFF] for units the source encodes to another sequence than the",
    "// lowest that decodes to them; a triple with 0, 0 means the unit decodes",
    "// one way only and has no encoded form. A page's default unit (0: none)",
    "// stands for bytes it does not define; kSeq* holds the lead and trail",
    "// bytes of a double-byte page (32 bytes of bits each).",
    "//",
    "// Pages 10001, 10005, 10021, 20105, 20838 and 20924 are generated from",
    "// .NET's code-page data (dotnet/runtime, System.Text.Encoding.CodePages,",
    "// codepages.nlp), under this notice:",
    "//",
    "//   The MIT License (MIT)",
    "//",
    "//   Copyright (c) .NET Foundation and Contributors",
    "//",
    "//   All rights reserved.",
    "//",
    "//   Permission is hereby granted, free of charge, to any person obtaining a copy",
    "//   of this software and associated documentation files (the \"Software\"), to deal",
    "//   in the Software without restriction, including without limitation the rights",
    "//   to use, copy, modify, merge, publish, distribute, sublicense, and/or sell",
    "//   copies of the Software, and to permit persons to whom the Software is",
    "//   furnished to do so, subject to the following conditions:",
    "//",
    "//   The above copyright notice and this permission notice shall be included in all",
    "//   copies or substantial portions of the Software.",
    "//",
    "//   THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR",
    "//   IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,",
    "//   FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE",
    "//   AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER",
    "//   LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,",
    "//   OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE",
    "//   SOFTWARE.",
]


def write(out_dir):
    sections, descs, counts, _ = generate(False)
    lines = list(HEADER)
    for cp in sorted(sections):
        lines += sections[cp]
    lines.append("")
    lines.append("static const PageData kPageData[%d] = {" % len(descs))
    for cp in sorted(descs):
        lines.append(descs[cp])
    lines.append("};")
    lines.append("")
    lines.append("// Half-width katakana 0xA1..0xDF: Shift_JIS of the full-width form, voiced,")
    lines.append("// semi-voiced (from UnicodeData.txt decompositions and Python's cp932).")
    lines += fmt_array("uint16_t", "kKanaFold", kana_table(), per_line=12)
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "codepage_tables.inc"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    src_lines = ["# Source of each code-page table (generated by scripts/gen-codepage-tables.py)",
                 "# page\tkind\tmappings\tsource\tcross-check source"]
    for cp in sorted(cs.PAGES):
        kind, src, other = cs.PAGES[cp]
        src_lines.append("%d\t%s\t%d\t%s\t%s" % (cp, kind, counts[cp], cs.describe(src),
                                                cs.describe(other) if other else "-"))
    if cs.NO_SOURCE:
        src_lines.append("# Table pages we are asked to carry with no mapping on this machine")
        src_lines.append("# (they fail to convert like unknown pages):")
        for cp, name in sorted(cs.NO_SOURCE.items()):
            src_lines.append("%d\t%s\tnone" % (cp, name))
    with open(os.path.join(out_dir, "codepage_sources.txt"), "w", newline="\n") as f:
        f.write("\n".join(src_lines) + "\n")


def parse_sections(text):
    sections = {}
    for m in re.finditer(r"^// BEGIN page (\d+):.*?^// END page \1$", text, re.S | re.M):
        sections[int(m.group(1))] = m.group(0)
    descs = {}
    for m in re.finditer(r"^    \{(\d+),.*// page \1$", text, re.M):
        descs[int(m.group(1))] = m.group(0)
    return sections, descs


def check(dir_):
    with open(os.path.join(dir_, "codepage_tables.inc")) as f:
        committed = f.read()
    csec, cdesc = parse_sections(committed)
    sections, descs, _, skipped = generate(True)
    if not sections:
        print("no source present; skipped")
        return 77
    bad = []
    for cp in sections:
        if csec.get(cp) != "\n".join(sections[cp]) or cdesc.get(cp) != descs[cp]:
            bad.append(cp)
    missing = sorted(set(csec) - set(cs.PAGES))
    if os.path.exists(UNICODE_DATA) and cs.available(("python", "cp932")):
        m = re.search(r"^static const uint16_t kKanaFold\[.*?^\};$", committed, re.S | re.M)
        want = "\n".join(fmt_array("uint16_t", "kKanaFold", kana_table(), per_line=12))
        if not m or m.group(0) != want:
            bad.append("kKanaFold")
    print("checked %d pages, skipped %d (source absent): %s" % (len(sections), len(skipped), skipped))
    if bad or missing:
        print("DIFFERENT: %s; unexpected pages: %s" % (bad, missing))
        return 1
    print("committed tables match the sources")
    return 0


# Double-byte pairs, as (first, last, why), where a committed table knowingly
# decodes otherwise than glibc's iconv.
ICONV_DIFFERENCES = {
    950: [(0xC6A1, 0xC8FE, "Python's cp950 has the ETEN kana and symbols in C6A1-C7FC; "
                           "glibc maps all of C6A1-C8FE to private use")],
    1361: [(0x8441, 0x845D, "Hangul letters written as a syllable with fillers: Python's "
                            "johab reads them all, glibc some"),
           (0xD9E8, 0xD9E8, "U+327E, added by KS X 1001:2002; Windows' 949 lacks it")],
    51949: [(0xA2E8, 0xA2E8, "U+327E, added by KS X 1001:2002; Windows' 949 lacks it")],
}


def committed_multi(text, cp):
    """{byte sequence: unit} of a multi-byte page as the committed file
    holds it (the stream format of HEADER)."""
    m = re.search(r"^static const uint16_t kData%d\[\d+\] = \{(.*?)^\};" % cp, text, re.S | re.M)
    if not m:
        return None
    d = [int(x, 16) for x in re.findall(r"0x[0-9A-F]+", m.group(1))]
    out = {}
    i = 0
    while i + 3 <= len(d):
        h0, h1, count = d[i:i + 3]
        ln, literal, key = h0 >> 12, (h0 >> 8) & 1, ((h0 & 0xFF) << 16) | h1
        i += 3
        for k in range(count):
            out[(key + k).to_bytes(ln, "big")] = d[i + k] if literal else d[i] + k
        i += count if literal else 1
    return out


def compare_iconv(dir_):
    with open(os.path.join(dir_, "codepage_tables.inc")) as f:
        committed = f.read()
    conv = cs.iconv()
    compared, bad = [], []
    for cp in sorted(cs.PAGES):
        kind, src, other = cs.PAGES[cp]
        name = next((s[1] for s in (src, other) if s and s[0] == "iconv"), None)
        if kind != "multi" or not name or not conv.available(name):
            continue
        table = committed_multi(committed, cp)
        if table is None:
            bad.append("page %d: no table" % cp)
            continue
        known = ICONV_DIFFERENCES.get(cp, [])
        for a in range(0x80, 0x100):
            for b in range(0x100):
                pair = bytes([a, b])
                if any(lo <= (a << 8 | b) <= hi for lo, hi, _ in known):
                    continue
                text = conv.decode(name, pair)
                want = ord(text) if text and len(text) == 1 and ord(text) < 0x10000 else None
                if table.get(pair) != want:
                    bad.append("page %d, %s: table %s, iconv '%s' %s" % (
                        cp, pair.hex().upper(), "U+%04X" % table[pair] if pair in table else "none",
                        name, "U+%04X" % want if want is not None else "none"))
        compared.append(cp)
    if not compared:
        print("iconv has none of the multi-byte pages; skipped")
        return 77
    print("compared every double-byte pair of pages %s with iconv" % compared)
    if bad:
        print("DIFFERENT (%d pairs):" % len(bad))
        print("\n".join(bad[:40]))
        return 1
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join(ROOT, "text", "generated"))
    ap.add_argument("--check")
    ap.add_argument("--compare-iconv")
    args = ap.parse_args()
    if args.check:
        sys.exit(check(args.check))
    if args.compare_iconv:
        sys.exit(compare_iconv(args.compare_iconv))
    write(args.out)


if __name__ == "__main__":
    main()
