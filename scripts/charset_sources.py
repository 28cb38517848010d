"""Published mappings available on this machine, shared by the generators in
scripts/: Python's codecs module and glibc's iconv (through ctypes)."""
import codecs
import ctypes
import ctypes.util
import os
import re

# Each page: (kind, primary source, other independent source or None).
# A source is ("python", codec) or ("iconv", name). The primary source builds
# the table; the other one is used by the tests to cross-check sample text.
# Pages absent here (or whose primary source is missing) have no table.
S, M = "single", "multi"
PAGES = {
    37: (S, ("python", "cp037"), ("iconv", "IBM037")),
    437: (S, ("python", "cp437"), ("iconv", "CP437")),
    500: (S, ("python", "cp500"), ("iconv", "IBM500")),
    # glibc names ISO-8859-6 "ASMO-708"; Python has no cp708.
    708: (S, ("iconv", "ASMO-708"), ("python", "iso8859_6")),
    720: (S, ("python", "cp720"), None),
    737: (S, ("python", "cp737"), ("iconv", "CP737")),
    775: (S, ("python", "cp775"), ("iconv", "CP775")),
    850: (S, ("python", "cp850"), ("iconv", "CP850")),
    852: (S, ("python", "cp852"), ("iconv", "CP852")),
    855: (S, ("python", "cp855"), ("iconv", "CP855")),
    857: (S, ("python", "cp857"), ("iconv", "CP857")),
    858: (S, ("python", "cp858"), ("iconv", "CP858")),
    860: (S, ("python", "cp860"), ("iconv", "CP860")),
    861: (S, ("python", "cp861"), ("iconv", "CP861")),
    862: (S, ("python", "cp862"), ("iconv", "CP862")),
    863: (S, ("python", "cp863"), ("iconv", "CP863")),
    864: (S, ("python", "cp864"), ("iconv", "CP864")),
    865: (S, ("python", "cp865"), ("iconv", "CP865")),
    866: (S, ("python", "cp866"), ("iconv", "CP866")),
    869: (S, ("python", "cp869"), ("iconv", "CP869")),
    870: (S, ("iconv", "IBM870"), None),
    874: (S, ("python", "cp874"), ("iconv", "WINDOWS-874")),
    875: (S, ("python", "cp875"), ("iconv", "IBM875")),
    1026: (S, ("python", "cp1026"), ("iconv", "IBM1026")),
    1047: (S, ("iconv", "IBM1047"), None),
    1140: (S, ("python", "cp1140"), ("iconv", "IBM1140")),
    1141: (S, ("iconv", "IBM1141"), None),
    1142: (S, ("iconv", "IBM1142"), None),
    1143: (S, ("iconv", "IBM1143"), None),
    1144: (S, ("iconv", "IBM1144"), None),
    1145: (S, ("iconv", "IBM1145"), None),
    1146: (S, ("iconv", "IBM1146"), None),
    1147: (S, ("iconv", "IBM1147"), None),
    1148: (S, ("iconv", "IBM1148"), None),
    1149: (S, ("iconv", "IBM1149"), None),
    1250: (S, ("python", "cp1250"), ("iconv", "CP1250")),
    1251: (S, ("python", "cp1251"), ("iconv", "CP1251")),
    1252: (S, ("python", "cp1252"), ("iconv", "CP1252")),
    1253: (S, ("python", "cp1253"), ("iconv", "CP1253")),
    1254: (S, ("python", "cp1254"), ("iconv", "CP1254")),
    1255: (S, ("python", "cp1255"), ("iconv", "CP1255")),
    1256: (S, ("python", "cp1256"), ("iconv", "CP1256")),
    1257: (S, ("python", "cp1257"), ("iconv", "CP1257")),
    1258: (S, ("python", "cp1258"), ("iconv", "CP1258")),
    10000: (S, ("python", "mac_roman"), ("iconv", "MACINTOSH")),
    10004: (S, ("python", "mac_arabic"), None),
    10006: (S, ("python", "mac_greek"), None),
    10007: (S, ("python", "mac_cyrillic"), ("iconv", "MAC-CYRILLIC")),
    10010: (S, ("python", "mac_romanian"), None),
    10017: (S, ("iconv", "MAC-UK"), None),
    10029: (S, ("python", "mac_latin2"), ("iconv", "MAC-CENTRALEUROPE")),
    10079: (S, ("python", "mac_iceland"), ("iconv", "MAC-IS")),
    10081: (S, ("python", "mac_turkish"), None),
    10082: (S, ("python", "mac_croatian"), None),
    20106: (S, ("iconv", "DIN_66003"), None),
    20107: (S, ("iconv", "SEN_850200_B"), None),
    20108: (S, ("iconv", "NS_4551-1"), None),
    20127: (S, ("python", "ascii"), ("iconv", "ASCII")),
    20261: (S, ("iconv", "T.61-8BIT"), None),
    20269: (S, ("iconv", "ISO_6937"), None),
    20273: (S, ("python", "cp273"), ("iconv", "IBM273")),
    20277: (S, ("iconv", "IBM277"), None),
    20278: (S, ("iconv", "IBM278"), None),
    20280: (S, ("iconv", "IBM280"), None),
    20284: (S, ("iconv", "IBM284"), None),
    20285: (S, ("iconv", "IBM285"), None),
    20290: (S, ("iconv", "IBM290"), None),
    20297: (S, ("iconv", "IBM297"), None),
    20420: (S, ("iconv", "IBM420"), None),
    20423: (S, ("iconv", "IBM423"), None),
    20424: (S, ("python", "cp424"), ("iconv", "IBM424")),
    20866: (S, ("python", "koi8_r"), ("iconv", "KOI8-R")),
    20871: (S, ("iconv", "IBM871"), None),
    20880: (S, ("iconv", "IBM880"), None),
    20905: (S, ("iconv", "IBM905"), None),
    21025: (S, ("iconv", "IBM1025"), None),
    21866: (S, ("python", "koi8_u"), ("iconv", "KOI8-U")),
    28591: (S, ("python", "latin_1"), ("iconv", "ISO-8859-1")),
    28592: (S, ("python", "iso8859_2"), ("iconv", "ISO-8859-2")),
    28593: (S, ("python", "iso8859_3"), ("iconv", "ISO-8859-3")),
    28594: (S, ("python", "iso8859_4"), ("iconv", "ISO-8859-4")),
    28595: (S, ("python", "iso8859_5"), ("iconv", "ISO-8859-5")),
    28596: (S, ("python", "iso8859_6"), ("iconv", "ISO-8859-6")),
    28597: (S, ("python", "iso8859_7"), ("iconv", "ISO-8859-7")),
    28598: (S, ("python", "iso8859_8"), ("iconv", "ISO-8859-8")),
    28599: (S, ("python", "iso8859_9"), ("iconv", "ISO-8859-9")),
    28603: (S, ("python", "iso8859_13"), ("iconv", "ISO-8859-13")),
    28605: (S, ("python", "iso8859_15"), ("iconv", "ISO-8859-15")),
    38598: (S, ("python", "iso8859_8"), ("iconv", "ISO-8859-8")),
    932: (M, ("python", "cp932"), ("iconv", "CP932")),
    # Microsoft's 936 maps 0x80 to the euro sign; glibc's CP936 has it,
    # Python's gbk does not, so glibc is the primary source here.
    936: (M, ("iconv", "CP936"), ("python", "gbk")),
    949: (M, ("python", "cp949"), ("iconv", "CP949")),
    950: (M, ("python", "cp950"), ("iconv", "CP950")),
    1361: (M, ("python", "johab"), ("iconv", "JOHAB")),
    51932: (M, ("python", "euc_jp"), ("iconv", "EUC-JP")),
    51936: (M, ("python", "gb2312"), ("iconv", "EUC-CN")),
    51949: (M, ("python", "euc_kr"), ("iconv", "EUC-KR")),
}

# Pages whose mapping neither Python's codecs nor glibc's iconv has come
# from data files of Windows' converter (see codepages/README.md): a source
# ("file", "cpNNNNN").
PAGES.update({
    10001: (M, ("file", "cp10001"), None),
    10005: (S, ("file", "cp10005"), None),
    10021: (S, ("file", "cp10021"), None),
    20105: (S, ("file", "cp20105"), None),
    20838: (S, ("file", "cp20838"), None),
    20924: (S, ("file", "cp20924"), None),
})

# Pages we are asked to carry as tables, with no published mapping on this
# machine.
NO_SOURCE = {}

# Where the data files are: beside the repository, else the copy the tests use.
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FILE_DIRS = [os.path.join(_ROOT, "..", "shared", "codepages"),
             os.path.join(_ROOT, "tests", "data", "charsets", "codepages")]


class PageFile:
    """One page's data files: every decoding sequence (round-trip and
    decode-only), the encoder-only best-fit pairs, the default Unicode
    character and, for double-byte pages, the lead and trail bytes."""

    def __init__(self, name):
        self.name = name
        self.path = next(os.path.join(d, name + ".txt") for d in FILE_DIRS
                         if os.path.exists(os.path.join(d, name + ".txt")))
        self.round_trip, self.decode_only, self.best_fit = {}, {}, {}
        self.default_unit = None
        self.leads, self.trails = set(), set()
        self._read(self.path, True)
        best = self.path[:-4] + ".bestfit.txt"
        if os.path.exists(best):
            self._read(best, False)
        if self.default_unit is None:
            raise ValueError("%s: no default Unicode character" % self.path)

    @staticmethod
    def _ranges(text):
        out = set()
        for a, b in re.findall(r"0x([0-9A-F]{2})(?:-0x([0-9A-F]{2}))?", text):
            out.update(range(int(a, 16), int(b or a, 16) + 1))
        return out

    def _read(self, path, decoding):
        block = None
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("#"):
                    if "round-trip pairs" in line:
                        block = self.round_trip
                    elif "decode-only pairs" in line:
                        block = self.decode_only
                    m = re.search(r"default Unicode char U\+([0-9A-F]{4})", line)
                    if m and decoding:
                        self.default_unit = int(m.group(1), 16)
                    m = re.match(r"# Lead bytes: (.*?); trail bytes (.*?) \(", line)
                    if m and decoding:
                        self.leads = self._ranges(m.group(1))
                        self.trails = self._ranges(m.group(2))
                    continue
                if not line.strip():
                    continue
                seq, unit = line.split("\t")
                seq = bytes.fromhex(seq[2:])
                unit = int(unit, 16)
                if not decoding:
                    self.best_fit[unit] = seq
                    continue
                if block is None or seq in self.round_trip or seq in self.decode_only:
                    raise ValueError("%s: %s outside a block or twice" % (path, seq.hex()))
                block[seq] = unit

    def decoding(self):
        out = dict(self.round_trip)
        out.update(self.decode_only)
        return out

    def encoding(self):
        """{unit: bytes} of the round-trip pairs: what the encoder writes."""
        out = {}
        for seq, u in self.round_trip.items():
            if u in out:
                raise ValueError("%s: U+%04X round-trips twice" % (self.path, u))
            out[u] = seq
        return out


_FILES = {}


def page_file(name):
    if name not in _FILES:
        _FILES[name] = PageFile(name)
    return _FILES[name]


class Iconv:
    def __init__(self):
        name = ctypes.util.find_library("c")
        self.libc = ctypes.CDLL(name, use_errno=True) if name else None
        if self.libc:
            f = self.libc
            f.iconv_open.restype = ctypes.c_void_p
            f.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
            f.iconv.restype = ctypes.c_size_t
            f.iconv.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p),
                                ctypes.POINTER(ctypes.c_size_t),
                                ctypes.POINTER(ctypes.c_char_p),
                                ctypes.POINTER(ctypes.c_size_t)]
        self.handles = {}

    def _handle(self, to, frm):
        key = (to, frm)
        if key not in self.handles:
            h = self.libc.iconv_open(to.encode(), frm.encode()) if self.libc else None
            if h is None or h == ctypes.c_void_p(-1).value or h == 2**64 - 1:
                h = None
            self.handles[key] = h
        return self.handles[key]

    def available(self, name):
        return self._handle("UTF-32LE", name) is not None

    def _run(self, h, data):
        f = self.libc
        f.iconv(h, None, None, None, None)
        inb = ctypes.create_string_buffer(data, len(data) + 1)
        cap = 16 * len(data) + 64
        outb = ctypes.create_string_buffer(cap)
        ip = ctypes.c_char_p(ctypes.addressof(inb))
        il = ctypes.c_size_t(len(data))
        op = ctypes.c_char_p(ctypes.addressof(outb))
        ol = ctypes.c_size_t(cap)
        r = f.iconv(h, ctypes.byref(ip), ctypes.byref(il), ctypes.byref(op), ctypes.byref(ol))
        if r == ctypes.c_size_t(-1).value or il.value:
            return None
        r = f.iconv(h, None, None, ctypes.byref(op), ctypes.byref(ol))
        if r == ctypes.c_size_t(-1).value:
            return None
        return outb.raw[:cap - ol.value]

    def decode(self, name, data):
        out = self._run(self._handle("UTF-32LE", name), data)
        return None if out is None else out.decode("utf-32-le")

    def encode(self, name, text):
        return self._run(self._handle(name, "UTF-32LE"), text.encode("utf-32-le"))


_ICONV = None


def iconv():
    global _ICONV
    if _ICONV is None:
        _ICONV = Iconv()
    return _ICONV


def available(src):
    kind, name = src
    if kind == "file":
        return any(os.path.exists(os.path.join(d, name + ".txt")) for d in FILE_DIRS)
    if kind == "python":
        try:
            codecs.lookup(name)
            return True
        except LookupError:
            return False
    return iconv().available(name)


def decode(src, data):
    """The text of data under the source, or None when it does not decode
    strictly."""
    kind, name = src
    if kind == "file":
        u = page_file(name).decoding().get(bytes(data))
        return None if u is None else chr(u)
    if kind == "python":
        try:
            return data.decode(name)
        except (UnicodeDecodeError, UnicodeError):
            return None
    return iconv().decode(name, data)


def encode(src, text):
    kind, name = src
    if kind == "file":
        enc = page_file(name).encoding()
        out = b""
        for ch in text:
            if ord(ch) not in enc:
                return None
            out += enc[ord(ch)]
        return out
    if kind == "python":
        try:
            return text.encode(name)
        except (UnicodeEncodeError, UnicodeError):
            return None
    return iconv().encode(name, text)


def describe(src):
    if src[0] == "file":
        return "Windows' data '%s.txt' (.NET codepages.nlp, MIT)" % src[1]
    return ("Python codecs '%s'" if src[0] == "python" else "glibc iconv '%s'") % src[1]


def mappings(cp):
    """Every byte sequence of the page's primary source that decodes to one
    BMP character: {bytes: code unit}."""
    kind, src, _ = PAGES[cp]
    if src[0] == "file":
        return {seq: u for seq, u in page_file(src[1]).decoding().items() if seq != b"\x00"}
    out = {}
    for b in range(1, 256):
        t = decode(src, bytes([b]))
        if t is not None and len(t) == 1 and ord(t) < 0x10000:
            out[bytes([b])] = ord(t)
    if kind == "single":
        return out
    leads = []
    for a in range(0x80, 256):
        found = False
        for b in range(256):
            t = decode(src, bytes([a, b]))
            if t is not None and len(t) == 1:
                found = True
                if ord(t) < 0x10000:
                    out[bytes([a, b])] = ord(t)
        if not found and bytes([a]) not in out:
            leads.append(a)
    # Three-byte sequences, only behind bytes that start no shorter one
    # (EUC-JP's 0x8F for JIS X 0212).
    for a in leads:
        for b in range(0xA1, 0xFF):
            for c in range(0xA1, 0xFF):
                t = decode(src, bytes([a, b, c]))
                if t is not None and len(t) == 1 and ord(t) < 0x10000:
                    out[bytes([a, b, c])] = ord(t)
    # Pairs the source writes but will not read on their own: Python's
    # euc_kr takes A4 D4 (HANGUL FILLER) only as the start of an eight-byte
    # composed syllable, yet writes it for U+3164.
    known = set(out.values())
    for u in range(0x80, 0x10000):
        if 0xD800 <= u < 0xE000 or u in known:
            continue
        seq = encode(src, chr(u))
        if seq is not None and len(seq) == 2 and seq not in out:
            out[seq] = u
    return out
