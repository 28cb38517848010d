#include "text/encoding_convert.h"

#include <cstring>

#include "platform/code_pages.h"
#include "text/code_page_tables.h"

// Every conversion runs in two stages around a UTF-16LE middle:
//   decode: source bytes -> UTF-16 units    (chunks of kChunk units)
//   encode: UTF-16 units -> target bytes
// The ISO-2022 pages wrap this: their input is first transcoded to Shift_JIS
// (932) or to 949, their output produced as 932 or 949 and transcoded last.
//
// Trace letters, one per stage passed:
//   P  passed through unchanged (no target, or target equals source)
//   M  a byte-order mark was removed
//   J  ISO-2022-JP decoded to 932          K  ISO-2022-KR decoded to 949
//   L  UTF-16LE input taken as it is       W  UTF-16BE input swapped
//   U  UTF-8 decoded                       Z  UTF-32 decoded
//   S  UTF-7 decoded                       A  x-mac-arabic input prepared
//   T  single-byte table decoded           D  multi-byte table decoded
//   l  UTF-16LE output                     w  UTF-16BE output (swapped)
//   u  UTF-8 encoded                       z  UTF-32 encoded
//   s  UTF-7 encoded
//   t  single-byte table encoded           d  multi-byte table encoded
//   j  932 encoded to ISO-2022-JP          k  949 encoded to ISO-2022-KR

namespace {

constexpr uint32_t kChunk = 8192;

// Collects output bytes in blocks so that the DataBuffer is not called per
// byte, and grows the buffer geometrically.
class ByteSink {
  public:
    explicit ByteSink(DataBuffer& out) : m_out(out) {}
    ~ByteSink() { flush(); }
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;

    void put(unsigned char b) {
        if (m_used == sizeof m_buf) flush();
        m_buf[m_used++] = b;
    }
    // Room for n more bytes without a flush check (n <= 64).
    unsigned char* room(uint32_t n) {
        if (m_used + n > sizeof m_buf) flush();
        return m_buf + m_used;
    }
    void commit(uint32_t n) { m_used += n; }
    void putUnitLE(uint16_t u) {
        unsigned char* r = room(2);
        r[0] = static_cast<unsigned char>(u & 0xFF);
        r[1] = static_cast<unsigned char>(u >> 8);
        commit(2);
    }
    // False when the output could not take the bytes (memory ran out).
    bool flush() {
        if (m_used) {
            uint32_t need = m_out.size() + m_used;
            if (need > m_out.capacity()) {
                uint32_t cap = m_out.capacity();
                uint32_t grown = cap + cap / 2 + 4096;
                m_out.reserve(grown > need ? grown : need);
            }
            if (!m_out.append(m_buf, m_used)) m_failed = true;
        }
        m_used = 0;
        return !m_failed;
    }
    bool failed() const { return m_failed; }

  private:
    DataBuffer& m_out;
    unsigned char m_buf[16384];
    uint32_t m_used = 0;
    bool m_failed = false;
};

bool isUtf16(unsigned cp) {
    return cp == cp::Utf16LE || cp == cp::Utf16BE;
}
bool isUtf32(unsigned cp) {
    return cp == cp::Utf32LE || cp == cp::Utf32BE;
}
bool isJis(unsigned cp) {
    return cp >= 50220 && cp <= 50222;
}
constexpr unsigned kIso2022Kr = 50225;

// ------------------------------------------------------------ decoders
// Each fills up to cap units (cap >= 2) from the input at pos, advances pos,
// and clears ok when some input had no mapping (such input is dropped, or
// decodes to the default character of a page that has one). A
// surrogate pair is never split across two chunks.

struct Input {
    const unsigned char* p;
    uint32_t n;
    uint32_t pos;
};

uint32_t decodeUtf16(Input& in, bool bigEndian, uint16_t* buf, uint32_t cap) {
    uint32_t units = (in.n - in.pos) / 2;  // an odd trailing byte is ignored
    uint32_t count = units < cap ? units : cap;
    const unsigned char* s = in.p + in.pos;
    if (bigEndian) {
        for (uint32_t i = 0; i < count; ++i)
            buf[i] = static_cast<uint16_t>((s[2 * i] << 8) | s[2 * i + 1]);
    } else {
        std::memcpy(buf, s, count * 2);
    }
    if (count == cap && count < units && (buf[count - 1] & 0xFC00) == 0xD800) --count;
    in.pos += count * 2;
    return count;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Each byte that does not start or continue a valid sequence is dropped on
// its own and the decoding resumes at the next byte.
uint32_t decodeUtf8(Input& in, uint16_t* buf, uint32_t cap, bool& ok) {
    const unsigned char* p = in.p;
    uint32_t n = in.n, i = in.pos, k = 0;
    while (i < n && k + 2 <= cap) {
        unsigned char b = p[i];
        if (b < 0x80) {
            // Eight ASCII bytes at a time while they last.
            while (i + 8 <= n && k + 8 <= cap) {
                uint64_t w;
                std::memcpy(&w, p + i, 8);
                if (w & 0x8080808080808080ull) break;
                for (int j = 0; j < 8; ++j) buf[k + j] = p[i + j];
                i += 8;
                k += 8;
            }
            if (i < n && p[i] < 0x80 && k < cap) {
                buf[k++] = p[i];
                ++i;
            }
            continue;
        }
        // Fast paths for well-formed two- and three-byte sequences.
        if (b >= 0xC2 && b <= 0xDF && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
            buf[k++] = static_cast<uint16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
            continue;
        }
        if (b >= 0xE1 && b <= 0xEF && b != 0xED && i + 2 < n && (p[i + 1] & 0xC0) == 0x80 &&
            (p[i + 2] & 0xC0) == 0x80) {
            buf[k++] = static_cast<uint16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) |
                                             (p[i + 2] & 0x3F));
            i += 3;
            continue;
        }
        uint32_t need;
        uint32_t c;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;  // overlong
            if (b == 0xED) hi = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;  // overlong
            if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            ok = false;
            ++i;
            continue;
        }
        bool valid = i + need < n;
        for (uint32_t j = 1; valid && j <= need; ++j) {
            unsigned char x = p[i + j];
            unsigned char min = j == 1 ? lo : 0x80;
            unsigned char max = j == 1 ? hi : 0xBF;
            if (x < min || x > max)
                valid = false;
            else
                c = (c << 6) | (x & 0x3F);
        }
        if (!valid) {
            ok = false;
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            buf[k++] = static_cast<uint16_t>(0xD800 | (c >> 10));
            buf[k++] = static_cast<uint16_t>(0xDC00 | (c & 0x3FF));
        } else {
            buf[k++] = static_cast<uint16_t>(c);
        }
        i += need + 1;
    }
    in.pos = i;
    return k;
}

// Whole 4-byte units only; a value that is no Unicode scalar is dropped.
uint32_t decodeUtf32(Input& in, bool bigEndian, uint16_t* buf, uint32_t cap, bool& ok) {
    uint32_t k = 0;
    while (in.pos + 4 <= in.n && k + 2 <= cap) {
        const unsigned char* s = in.p + in.pos;
        uint32_t c = bigEndian ? (uint32_t(s[0]) << 24) | (s[1] << 16) | (s[2] << 8) | s[3]
                               : (uint32_t(s[3]) << 24) | (s[2] << 16) | (s[1] << 8) | s[0];
        in.pos += 4;
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            ok = false;
        } else if (c >= 0x10000) {
            c -= 0x10000;
            buf[k++] = static_cast<uint16_t>(0xD800 | (c >> 10));
            buf[k++] = static_cast<uint16_t>(0xDC00 | (c & 0x3FF));
        } else {
            buf[k++] = static_cast<uint16_t>(c);
        }
    }
    if (in.n - in.pos < 4) in.pos = in.n;  // fewer than 4 bytes left: nothing
    return k;
}

uint32_t decodeSingleByte(const cptables::SingleByteTable& t, Input& in, uint16_t* buf,
                          uint32_t cap, bool& ok) {
    uint32_t k = 0;
    uint32_t end = in.n - in.pos < cap ? in.n : in.pos + cap;
    for (uint32_t i = in.pos; i < end; ++i) {
        unsigned char b = in.p[i];
        uint16_t u = t.toUnicode[b];  // bytes below 0x80 of an ASCII page map to themselves
        if (u == 0 && b != 0) {
            ok = false;
            if (t.defaultUnit) buf[k++] = t.defaultUnit;
        } else {
            buf[k++] = u;
        }
    }
    in.pos = end;
    return k;
}

// At each position: a 2-byte, then a 3-byte sequence (as far as the input
// reaches), then the byte alone. An unmappable lead byte of the double-byte
// pages is dropped together with the byte after it.
uint32_t decodeMultiByte(const cptables::MultiByteTable& t, Input& in, uint16_t* buf, uint32_t cap,
                         bool& ok) {
    const unsigned char* p = in.p;
    uint32_t n = in.n, i = in.pos, k = 0;
    while (i < n && k < cap) {
        unsigned char b = p[i];
        if (!t.isLead[b]) {
            if (b < 0x80 && t.asciiLow) {
                buf[k++] = b;
                ++i;
                continue;
            }
        } else {
            if (i + 1 < n) {
                const uint16_t* row = t.twoByte[b];
                if (row && row[p[i + 1]]) {
                    buf[k++] = row[p[i + 1]];
                    i += 2;
                    continue;
                }
                if (i + 2 < n && t.threeCount) {
                    uint16_t u = t.findThree((uint32_t(b) << 16) | (p[i + 1] << 8) | p[i + 2]);
                    if (u) {
                        buf[k++] = u;
                        i += 3;
                        continue;
                    }
                }
            }
            if (b < 0x80 && t.asciiLow) {
                buf[k++] = b;
                ++i;
                continue;
            }
        }
        uint16_t u = t.single[b];
        if (u || b == 0) {
            buf[k++] = u;
            ++i;
            continue;
        }
        ok = false;
        if (t.defaultUnit) {
            // One default character for the sequence: a lead byte and the
            // trail byte after it, else the byte alone (a byte after a lead
            // that cannot be a trail byte starts afresh).
            buf[k++] = t.defaultUnit;
            i += (t.isLead[b] && i + 1 < n && t.isTrail[p[i + 1]]) ? 2 : 1;
            continue;
        }
        i += (t.dropLeadWithNext && t.isLead[b] && i + 1 < n) ? 2 : 1;
    }
    in.pos = i;
    return k;
}

// ------------------------------------------------------------ encoders
// Each takes count UTF-16 units (a chunk never ends inside a surrogate pair)
// and returns false when some unit had no mapping (it is dropped).

void encodeUtf16(const uint16_t* u, uint32_t count, bool bigEndian, ByteSink& sink) {
    for (uint32_t i = 0; i < count; ++i) {
        unsigned char* r = sink.room(2);
        r[bigEndian ? 1 : 0] = static_cast<unsigned char>(u[i] & 0xFF);
        r[bigEndian ? 0 : 1] = static_cast<unsigned char>(u[i] >> 8);
        sink.commit(2);
    }
}

// The code point at i (a pair counts once); 0xFFFFFFFF for an unpaired
// surrogate.
inline uint32_t codePointAt(const uint16_t* u, uint32_t count, uint32_t& i) {
    uint32_t c = u[i];
    if ((c & 0xF800) != 0xD800) return c;
    if (c <= 0xDBFF && i + 1 < count && (u[i + 1] & 0xFC00) == 0xDC00) {
        c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
        ++i;
        return c;
    }
    return 0xFFFFFFFF;
}

// An unpaired surrogate has no UTF-8 form: it counts as unmappable.
bool encodeUtf8(const uint16_t* u, uint32_t count, ByteSink& sink) {
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        if (u[i] < 0x80) {
            unsigned char* r = sink.room(64);
            uint32_t j = 0;
            while (j < 64 && i < count && u[i] < 0x80) r[j++] = static_cast<unsigned char>(u[i++]);
            sink.commit(j);
            --i;
            continue;
        }
        uint32_t c = codePointAt(u, count, i);
        unsigned char* r = sink.room(4);
        if (c == 0xFFFFFFFF) {
            ok = false;
        } else if (c < 0x800) {
            r[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            r[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            sink.commit(2);
        } else if (c < 0x10000) {
            r[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            r[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            r[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            sink.commit(3);
        } else {
            r[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            r[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            r[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            r[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            sink.commit(4);
        }
    }
    return ok;
}

bool encodeUtf32(const uint16_t* u, uint32_t count, bool bigEndian, ByteSink& sink) {
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t c = codePointAt(u, count, i);
        if (c == 0xFFFFFFFF) {
            ok = false;
            continue;
        }
        unsigned char* r = sink.room(4);
        for (int j = 0; j < 4; ++j)
            r[bigEndian ? 3 - j : j] = static_cast<unsigned char>(c >> (8 * j));
        sink.commit(4);
    }
    return ok;
}

// Each code unit on its own, so both halves of a surrogate pair are
// unmappable in a single-byte page.
bool encodeSingleByte(const cptables::SingleByteTable& t, const cptables::SingleByteReverse& rev,
                      const uint16_t* u, uint32_t count, ByteSink& sink) {
    bool ok = true;
    uint32_t i = 0;
    while (i < count) {
        unsigned char* r = sink.room(64);
        uint32_t j = 0;
        for (; j < 64 && i < count; ++i) {
            uint16_t c = u[i];
            unsigned char b;
            if (c < 0x80 && t.asciiLow)
                b = static_cast<unsigned char>(c);
            else if (!rev.find(c, b)) {
                ok = false;
                continue;
            }
            r[j++] = b;
        }
        sink.commit(j);
    }
    return ok;
}

bool encodeMultiByte(const cptables::MultiByteTable& t, const cptables::MultiByteReverse& rev,
                     const uint16_t* u, uint32_t count, ByteSink& sink) {
    bool ok = true;
    uint32_t i = 0;
    while (i < count) {
        unsigned char* r = sink.room(64);
        uint32_t j = 0;
        for (; j + 3 <= 64 && i < count; ++i) {
            uint16_t c = u[i];
            if ((c < 0x80 && t.asciiLow) || c == 0) {
                r[j++] = static_cast<unsigned char>(c);
                continue;
            }
            uint16_t v = rev.code[c];
            if (v >= 0x100 && v != 0xFFFF) {
                r[j++] = static_cast<unsigned char>(v >> 8);
                r[j++] = static_cast<unsigned char>(v);
            } else if (v && v < 0x100) {
                r[j++] = static_cast<unsigned char>(v);
            } else if (v == 0xFFFF) {
                uint32_t key = rev.findThree(c);
                r[j++] = static_cast<unsigned char>(key >> 16);
                r[j++] = static_cast<unsigned char>(key >> 8);
                r[j++] = static_cast<unsigned char>(key);
            } else {
                ok = false;
            }
        }
        sink.commit(j);
    }
    return ok;
}

// ------------------------------------------------------------ UTF-7 (RFC 2152)

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decodes UTF-7 to UTF-16LE bytes. "+-" is "+"; a base64 run ends at the
// first byte outside the base64 alphabet, and a "-" there is absorbed; bits
// left over at the end of a run are discarded. Bytes of 0x80 and above are
// not UTF-7 and are dropped.
bool decodeUtf7(const unsigned char* p, uint32_t n, ByteSink& sink) {
    bool ok = true;
    bool shifted = false;
    uint32_t bits = 0;
    int nbits = 0;
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (shifted) {
            int v = base64Value(c);
            if (v >= 0) {
                bits = (bits << 6) | static_cast<uint32_t>(v);
                nbits += 6;
                if (nbits >= 16) {
                    nbits -= 16;
                    sink.putUnitLE(static_cast<uint16_t>(bits >> nbits));
                }
                continue;
            }
            shifted = false;
            if (nbits >= 6 || (bits & ((1u << nbits) - 1))) ok = false;  // ill-formed tail
            if (c == '-') continue;
        }
        if (c == '+') {
            if (i + 1 < n && p[i + 1] == '-') {
                sink.putUnitLE('+');
                ++i;
            } else {
                shifted = true;
                bits = 0;
                nbits = 0;
            }
        } else if (c >= 0x80) {
            ok = false;
        } else {
            sink.putUnitLE(c);
        }
    }
    return ok;
}

// Characters written as themselves: RFC 2152's set D, set O except "\" and
// "~", and space, tab, CR and LF (as Python's UTF-7 codec does).
bool utf7Direct(uint16_t c) {
    if (c >= 0x80 || c == 0) return false;
    if (c == '\t' || c == '\r' || c == '\n') return true;
    if (c < 0x20 || c == 0x7F) return false;
    return c != '+' && c != '\\' && c != '~';
}

void encodeUtf7(const uint16_t* u, uint32_t count, ByteSink& sink) {
    bool shifted = false;
    uint32_t bits = 0;
    int nbits = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t c = u[i];
        if (shifted) {
            if (utf7Direct(c)) {
                if (nbits) sink.put(kBase64[(bits << (6 - nbits)) & 0x3F]);
                bits = 0;
                nbits = 0;
                shifted = false;
                if (base64Value(static_cast<unsigned char>(c)) >= 0 || c == '-') sink.put('-');
                sink.put(static_cast<unsigned char>(c));
                continue;
            }
        } else if (c == '+') {
            sink.put('+');
            sink.put('-');
            continue;
        } else if (utf7Direct(c)) {
            sink.put(static_cast<unsigned char>(c));
            continue;
        } else {
            sink.put('+');
            shifted = true;
        }
        bits = (bits << 16) | c;
        nbits += 16;
        while (nbits >= 6) {
            nbits -= 6;
            sink.put(kBase64[(bits >> nbits) & 0x3F]);
        }
    }
    if (shifted) {
        if (nbits) sink.put(kBase64[(bits << (6 - nbits)) & 0x3F]);
        sink.put('-');
    }
}

// ------------------------------------------------------------ ISO-2022-JP

// ISO-2022-JP (50220..50222) to Shift_JIS.
void jisToShiftJis(const unsigned char* p, uint32_t n, ByteSink& sink) {
    enum { Ascii, Double, Kana } mode = Ascii;
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == 0x1B && i + 2 < n) {
            unsigned char a = p[i + 1], b = p[i + 2];
            if (a == 0x24 && (b == 0x40 || b == 0x42)) {
                mode = Double;
                i += 2;
                continue;
            }
            if (a == 0x28 && (b == 0x42 || b == 0x4A)) {
                mode = Ascii;
                i += 2;
                continue;
            }
            if (a == 0x28 && b == 0x49) {
                mode = Kana;
                i += 2;
                continue;
            }
        }
        if (c == '\r' || c == '\n') {
            if (mode == Double) mode = Ascii;
            sink.put(c);
            continue;
        }
        if (mode == Double && c >= 0x21 && c <= 0x7E && i + 1 < n && p[i + 1] >= 0x21 &&
            p[i + 1] <= 0x7E) {
            unsigned j1 = c, j2 = p[i + 1];
            unsigned s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
            unsigned s2 = (j1 & 1) ? j2 + (j2 >= 0x60 ? 0x20 : 0x1F) : j2 + 0x7E;
            sink.put(static_cast<unsigned char>(s1));
            sink.put(static_cast<unsigned char>(s2));
            ++i;
            continue;
        }
        if (mode == Kana && c >= 0x21 && c <= 0x5F) {
            sink.put(static_cast<unsigned char>(c | 0x80));
            continue;
        }
        sink.put(c);
    }
}

// Shift_JIS to ISO-2022-JP. Half-width katakana become their full-width
// forms, merging a following voiced or semi-voiced sound mark where such a
// character exists. False when a byte could not be written (lead bytes
// 0xF0..0xFC and stray bytes of 0x80 and above).
bool shiftJisToJis(const unsigned char* p, uint32_t n, ByteSink& sink) {
    bool ok = true;
    bool dbl = false;
    auto close = [&] {
        if (dbl) {
            sink.put(0x1B);
            sink.put(0x28);
            sink.put(0x42);
            dbl = false;
        }
    };
    for (uint32_t i = 0; i < n; ++i) {
        unsigned s1 = p[i], s2 = 0;
        if (s1 >= 0xA1 && s1 <= 0xDF) {
            uint16_t full = cptables::kanaFullWidth(static_cast<unsigned char>(s1), 0);
            if (i + 1 < n && (p[i + 1] == 0xDE || p[i + 1] == 0xDF)) {
                uint16_t merged = cptables::kanaFullWidth(static_cast<unsigned char>(s1),
                                                          p[i + 1] == 0xDE ? 1 : 2);
                if (merged) {
                    full = merged;
                    ++i;
                }
            }
            s1 = full >> 8;
            s2 = full & 0xFF;
        } else if (((s1 >= 0x81 && s1 <= 0x9F) || (s1 >= 0xE0 && s1 <= 0xEF)) && i + 1 < n) {
            s2 = p[++i];
        } else if (s1 >= 0x80) {
            ok = false;
            if (s1 >= 0xF0 && s1 <= 0xFC && i + 1 < n) ++i;  // drop the pair
            continue;
        } else {
            close();  // before CR, LF and every single-byte character
            sink.put(static_cast<unsigned char>(s1));
            continue;
        }
        if (!dbl) {
            sink.put(0x1B);
            sink.put(0x24);
            sink.put(0x42);
            dbl = true;
        }
        unsigned j1 = (s1 - (s1 <= 0x9F ? 0x70 : 0xB0)) << 1;
        unsigned j2;
        if (s2 < 0x9F) {
            j1 -= 1;
            j2 = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
        } else {
            j2 = s2 - 0x7E;
        }
        sink.put(static_cast<unsigned char>(j1));
        sink.put(static_cast<unsigned char>(j2));
    }
    close();
    return ok;
}

// ------------------------------------------------------------ ISO-2022-KR

void krToUhc(const unsigned char* p, uint32_t n, ByteSink& sink) {
    bool dbl = false;
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == 0x1B && i + 3 < n && p[i + 1] == 0x24 && p[i + 2] == 0x29 && p[i + 3] == 0x43) {
            i += 3;
            continue;
        }
        if (c == 0x0E) {
            dbl = true;
            continue;
        }
        if (c == 0x0F) {
            dbl = false;
            continue;
        }
        if (dbl && c >= 0x21 && c <= 0x7E && i + 1 < n && p[i + 1] >= 0x21 && p[i + 1] <= 0x7E) {
            sink.put(static_cast<unsigned char>(c | 0x80));
            sink.put(static_cast<unsigned char>(p[i + 1] | 0x80));
            ++i;
            continue;
        }
        sink.put(c);
    }
}

// 949 to ISO-2022-KR. Only pairs of two bytes of 0xA1 and above (KS X 1001)
// can be written; other pairs of 949 are dropped and make the result false.
bool uhcToKr(const unsigned char* p, uint32_t n, ByteSink& sink) {
    bool ok = true;
    bool dbl = false;
    if (n == 0) return true;
    sink.put(0x1B);
    sink.put(0x24);
    sink.put(0x29);
    sink.put(0x43);
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c < 0x80) {
            if (dbl) {
                sink.put(0x0F);
                dbl = false;
            }
            sink.put(c);
            continue;
        }
        if (i + 1 >= n) {
            ok = false;
            break;
        }
        unsigned char d = p[++i];
        if (c < 0xA1 || c == 0xFF || d < 0xA1 || d == 0xFF) {
            ok = false;
            continue;
        }
        if (!dbl) {
            sink.put(0x0E);
            dbl = true;
        }
        sink.put(static_cast<unsigned char>(c & 0x7F));
        sink.put(static_cast<unsigned char>(d & 0x7F));
    }
    return ok;
}

// ------------------------------------------------------------ x-mac-arabic

// Reverses every run of two or more right-to-left bytes (each 0x20 or
// above), then turns Apple's right-to-left duplicates of digits and
// punctuation into their ASCII forms and 0x81 into 0xA0.
void prepareMacArabic(const cptables::SingleByteTable& t, unsigned char* p, uint32_t n) {
    uint32_t i = 0;
    while (i < n) {
        if (p[i] < 0x20 || !cptables::isRtl(t, p[i])) {
            ++i;
            continue;
        }
        uint32_t j = i;
        while (j < n && p[j] >= 0x20 && cptables::isRtl(t, p[j])) ++j;
        for (uint32_t a = i, b = j - 1; j - i >= 2 && a < b; ++a, --b) {
            unsigned char x = p[a];
            p[a] = p[b];
            p[b] = x;
        }
        i = j;
    }
    for (uint32_t k = 0; k < n; ++k) {
        unsigned char b = p[k];
        if ((b >= 0xB0 && b <= 0xB9) || (b >= 0xA0 && b <= 0xAF && b != 0xA5 && b != 0xAC) ||
            b == 0xBA || b == 0xBC || b == 0xBD || b == 0xBE || (b >= 0xDB && b <= 0xDF) ||
            (b >= 0xFB && b <= 0xFD))
            p[k] = static_cast<unsigned char>(b - 0x80);
        else if (b == 0x81)
            p[k] = 0xA0;
    }
}

}  // namespace

bool EncodingConvert::isSupported(unsigned codePage) {
    if (codePage == cp::Utf8 || codePage == cp::Utf7 || isUtf16(codePage) || isUtf32(codePage))
        return true;
    if (isJis(codePage)) return cptables::findMultiByte(932) != nullptr;
    if (codePage == kIso2022Kr) return cptables::findMultiByte(949) != nullptr;
    return cptables::findSingleByte(codePage) || cptables::findMultiByte(codePage);
}

bool EncodingConvert::convert(unsigned fromCodePage, unsigned toCodePage, const void* bytes,
                              uint32_t n, DataBuffer& out) {
    m_trace.clear();
    m_from = fromCodePage;
    m_to = toCodePage;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (!p) n = 0;
    return run(fromCodePage, toCodePage, p, n, out);
}

bool EncodingConvert::run(unsigned from, unsigned to, const unsigned char* p, uint32_t n,
                          DataBuffer& out) {
    if (to == 0 || to == from) {
        m_trace.appendChar('P');
        return out.append(p, n);
    }
    if (!isSupported(from) || !isSupported(to)) return false;

    // The ISO-2022 pages: input through 932 or 949 ...
    if (isJis(from) || from == kIso2022Kr) {
        DataBuffer mid;
        {
            ByteSink sink(mid);
            if (isJis(from)) {
                m_trace.appendChar('J');
                jisToShiftJis(p, n, sink);
            } else {
                m_trace.appendChar('K');
                krToUhc(p, n, sink);
            }
            if (!sink.flush()) return false;
        }
        return run(isJis(from) ? 932 : 949, to, mid.data(), mid.size(), out);
    }
    // ... and output produced as 932 or 949 and transcoded last.
    if (isJis(to) || to == kIso2022Kr) {
        DataBuffer mid;
        bool ok = run(from, isJis(to) ? 932 : 949, p, n, mid);
        ByteSink sink(out);
        if (isJis(to)) {
            m_trace.appendChar('j');
            ok = shiftJisToJis(mid.data(), mid.size(), sink) && ok;
        } else {
            m_trace.appendChar('k');
            ok = uhcToKr(mid.data(), mid.size(), sink) && ok;
        }
        return sink.flush() && ok;
    }

    // Byte-order marks choose the byte order and are not part of the text.
    bool bigEndian = from == cp::Utf16BE || from == cp::Utf32BE;
    if (isUtf16(from) && n >= 2) {
        if (p[0] == 0xFF && p[1] == 0xFE) {
            bigEndian = false;
            p += 2;
            n -= 2;
            m_trace.appendChar('M');
        } else if (p[0] == 0xFE && p[1] == 0xFF) {
            bigEndian = true;
            p += 2;
            n -= 2;
            m_trace.appendChar('M');
        }
    } else if (from == cp::Utf8 && n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        n -= 3;
        m_trace.appendChar('M');
    }
    if (n == 0) return true;

    // Tables of both sides.
    const cptables::SingleByteTable* fromSingle = cptables::findSingleByte(from);
    const cptables::MultiByteTable* fromMulti =
        fromSingle ? nullptr : cptables::findMultiByte(from);
    const cptables::SingleByteTable* toSingle = cptables::findSingleByte(to);
    const cptables::MultiByteTable* toMulti = toSingle ? nullptr : cptables::findMultiByte(to);
    const cptables::SingleByteReverse* toSingleRev = nullptr;
    const cptables::MultiByteReverse* toMultiRev = nullptr;
    if (toSingle && !(toSingleRev = cptables::reverseOf(*toSingle))) return false;
    if (toMulti && !(toMultiRev = cptables::reverseOf(*toMulti))) return false;

    bool ok = true;
    // Inputs that are prepared whole first: UTF-7 (to UTF-16LE) and
    // x-mac-arabic (reordered copy).
    DataBuffer prepared;
    if (from == cp::Utf7) {
        m_trace.appendChar('S');
        ByteSink sink(prepared);
        ok = decodeUtf7(p, n, sink);
        if (!sink.flush()) return false;
        p = prepared.data();
        n = prepared.size();
        from = cp::Utf16LE;
        bigEndian = false;
        if (n == 0) return ok;
    } else if (fromSingle && fromSingle->rtlBits) {
        m_trace.appendChar('A');
        if (!prepared.append(p, n)) return false;
        prepareMacArabic(*fromSingle, prepared.data(), n);
        p = prepared.data();
    }

    char dec;
    if (isUtf16(from))
        dec = bigEndian ? 'W' : 'L';
    else if (from == cp::Utf8)
        dec = 'U';
    else if (isUtf32(from))
        dec = 'Z';
    else
        dec = fromSingle ? 'T' : 'D';
    m_trace.appendChar(dec);
    char enc;
    if (to == cp::Utf16LE)
        enc = 'l';
    else if (to == cp::Utf16BE)
        enc = 'w';
    else if (to == cp::Utf8)
        enc = 'u';
    else if (isUtf32(to))
        enc = 'z';
    else if (to == cp::Utf7)
        enc = 's';
    else
        enc = toSingle ? 't' : 'd';
    m_trace.appendChar(enc);

    // UTF-7 output needs the whole text (its base64 runs cross chunks).
    DataBuffer all;
    ByteSink sink(out);
    uint16_t buf[kChunk];
    Input in{p, n, 0};
    while (in.pos < in.n) {
        uint32_t count;
        switch (dec) {
            case 'W':
            case 'L':
                count = decodeUtf16(in, dec == 'W', buf, kChunk);
                break;
            case 'U':
                count = decodeUtf8(in, buf, kChunk, ok);
                break;
            case 'Z':
                count = decodeUtf32(in, bigEndian, buf, kChunk, ok);
                break;
            case 'T':
                count = decodeSingleByte(*fromSingle, in, buf, kChunk, ok);
                break;
            default:
                count = decodeMultiByte(*fromMulti, in, buf, kChunk, ok);
                break;
        }
        if (count == 0) {
            if (dec == 'W' || dec == 'L') break;  // an odd trailing byte
            continue;
        }
        switch (enc) {
            case 'l':
            case 'w':
                encodeUtf16(buf, count, enc == 'w', sink);
                break;
            case 'u':
                ok = encodeUtf8(buf, count, sink) && ok;
                break;
            case 'z':
                ok = encodeUtf32(buf, count, to == cp::Utf32BE, sink) && ok;
                break;
            case 's':
                if (!all.append(buf, count * 2)) return false;
                break;
            case 't':
                ok = encodeSingleByte(*toSingle, *toSingleRev, buf, count, sink) && ok;
                break;
            default:
                ok = encodeMultiByte(*toMulti, *toMultiRev, buf, count, sink) && ok;
                break;
        }
    }
    if (enc == 's' && all.size())
        encodeUtf7(reinterpret_cast<const uint16_t*>(all.data()), all.size() / 2, sink);
    return sink.flush() && ok;
}

bool EncodingConvert::convertToAnsi(unsigned fromCodePage, const void* bytes, uint32_t n,
                                    DataBuffer& out) {
    return convert(fromCodePage, platform::ansiCodePage(), bytes, n, out);
}
