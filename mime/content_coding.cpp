#include "mime/content_coding.h"

#include <algorithm>
#include <cstring>

#include "mime/mime_text.h"
#include "text/ascii.h"
#include "text/charset.h"
#include "text/encoding_convert.h"

using text::isBlankOrBreak;
using text::lowerAscii;

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHex[] = "0123456789ABCDEF";

// Collects output in a fixed area and appends it to the buffer when full,
// so that large bodies are not appended to the StringBuffer byte by byte.
template <uint32_t N>
class Staging {
  public:
    explicit Staging(StringBuffer& out) : m_out(out) {}
    ~Staging() { flush(); }
    void put(char c) {
        if (m_used == N) flush();
        m_area[m_used++] = c;
    }
    void put2(char a, char b) {
        put(a);
        put(b);
    }
    void escape(unsigned char b) {
        put('=');
        put(kHex[b >> 4]);
        put(kHex[b & 15]);
    }
    bool flush() {
        if (m_used && !m_out.append(m_area, m_used)) m_ok = false;
        m_used = 0;
        return m_ok;
    }

  private:
    StringBuffer& m_out;
    char m_area[N];
    uint32_t m_used = 0;
    bool m_ok = true;
};

template <uint32_t N>
void putGroup(Staging<N>& st, const unsigned char* p, uint32_t have) {
    uint32_t v = static_cast<uint32_t>(p[0]) << 16;
    if (have > 1) v |= static_cast<uint32_t>(p[1]) << 8;
    if (have > 2) v |= p[2];
    st.put(kB64[(v >> 18) & 63]);
    st.put(kB64[(v >> 12) & 63]);
    st.put(have > 1 ? kB64[(v >> 6) & 63] : '=');
    st.put(have > 2 ? kB64[v & 63] : '=');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool ContentCoding::encodeBase64Lines(const void* bytes, uint32_t n, StringBuffer& out,
                                      bool lastPiece) const {
    if (n == 0) return true;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    uint32_t groups = (n + 2) / 3;
    uint32_t chars = groups * 4;
    out.reserveMore(chars + (chars / m_lineLength + 2) * 2);
    // Written through a local area, appended a few kilobytes at a time.
    char area[4096];
    uint32_t used = 0;
    bool ok = true;
    uint32_t col = 0;
    uint32_t i = 0;
    for (; i + 3 <= n; i += 3) {
        if (used > sizeof area - 8) {
            ok = out.append(area, used) && ok;
            used = 0;
        }
        uint32_t v =
            (static_cast<uint32_t>(p[i]) << 16) | (static_cast<uint32_t>(p[i + 1]) << 8) | p[i + 2];
        area[used] = kB64[(v >> 18) & 63];
        area[used + 1] = kB64[(v >> 12) & 63];
        area[used + 2] = kB64[(v >> 6) & 63];
        area[used + 3] = kB64[v & 63];
        used += 4;
        col += 4;
        if (col >= m_lineLength) {
            area[used++] = '\r';
            area[used++] = '\n';
            col = 0;
        }
    }
    if (used) ok = out.append(area, used) && ok;
    if (!lastPiece && i == n && col == 0) return ok;
    Staging<16> st(out);
    if (i < n) putGroup(st, p + i, n - i);
    // Even when a line just ended: the body's last line is always terminated.
    st.put2('\r', '\n');
    return st.flush() && ok;
}

bool ContentCoding::encodeBase64(const void* bytes, uint32_t n, StringBuffer& out) {
    if (n == 0) return true;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    out.reserveMore((n + 2) / 3 * 4);
    Staging<256> st(out);
    uint32_t i = 0;
    for (; i + 3 <= n; i += 3) putGroup(st, p + i, 3);
    if (i < n) putGroup(st, p + i, n - i);
    return st.flush();
}

namespace {

// How quoted-printable treats each byte value outside the line-start and
// line-end rules.
enum : unsigned char { kLiteral, kBlank, kCr, kEscape };

struct QpClasses {
    unsigned char cls[256];
    QpClasses() {
        for (int b = 0; b < 256; ++b)
            cls[b] = ((b >= 33 && b <= 60) || (b >= 62 && b <= 126)) ? kLiteral : kEscape;
        cls[0x20] = cls[0x09] = kBlank;
        cls[0x0D] = kCr;
    }
};
const QpClasses kQp;

}  // namespace

bool ContentCoding::encodeQuotedPrintable(const void* bytes, uint32_t n, StringBuffer& out) const {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    // Grow once: count the escapes first, since binary input nearly triples.
    uint64_t expected = n;
    for (uint32_t i = 0; i < n; ++i) {
        if (kQp.cls[p[i]] == kEscape) expected += 2;
    }
    expected += expected / m_lineLength * 3 + 16;
    if (expected < 0xFFFFFFF0u) out.reserveMore(static_cast<uint32_t>(expected));

    // The staging area always has room for one escape and a soft break.
    char area[2000];
    uint32_t used = 0;
    bool ok = true;
    auto escape = [&](unsigned char b) {
        area[used] = '=';
        area[used + 1] = kHex[b >> 4];
        area[used + 2] = kHex[b & 15];
        used += 3;
    };
    auto crlfAt = [&](uint32_t k) { return k + 1 < n && p[k] == '\r' && p[k + 1] == '\n'; };
    uint32_t col = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (used > sizeof area - 8) {
            ok = out.append(area, used) && ok;
            used = 0;
        }
        unsigned char b = p[i];
        unsigned char c = kQp.cls[b];
        if (col == 0 &&
            (b == '.' || (b == 'F' && i + 4 < n && std::memcmp(p + i + 1, "rom ", 4) == 0))) {
            escape(b);
            col += 3;
        } else if (c == kLiteral) {
            // The whole run of literal bytes that fits the line and the
            // staging area: most text is nothing else.
            const uint32_t lineRoom = col < m_lineLength ? m_lineLength - col : 1;
            const uint32_t end =
                i + std::min<uint32_t>(
                        {n - i, lineRoom, static_cast<uint32_t>(sizeof area - 4 - used)});
            uint32_t j = i + 1;
            while (j < end && kQp.cls[p[j]] == kLiteral) ++j;
            std::memcpy(area + used, p + i, j - i);
            used += j - i;
            col += j - i;
            i = j - 1;
        } else if (c == kBlank) {
            // A blank at the end of a line would be stripped by transports.
            if (i + 1 == n || crlfAt(i + 1)) {
                escape(b);
                col += 3;
            } else {
                area[used++] = static_cast<char>(b);
                col += 1;
            }
        } else if (c == kCr && i + 1 < n && p[i + 1] == '\n') {
            area[used++] = '\r';
            area[used++] = '\n';
            ++i;
            col = 0;
            continue;
        } else {
            escape(b);
            col += 3;
        }
        // A soft break, unless a hard one follows anyway or the input ends.
        if (col >= m_lineLength && i + 1 < n && !crlfAt(i + 1)) {
            area[used++] = '=';
            area[used++] = '\r';
            area[used++] = '\n';
            col = 0;
        }
    }
    if (used) ok = out.append(area, used) && ok;
    return ok;
}

bool ContentCoding::encodeQWord(const void* bytes, uint32_t n, StringBuffer& out) const {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    out.reserveMore(n * 3 / 2 + 8);
    Staging<2000> st(out);
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char b = p[i];
        bool literal =
            (b >= 33 && b <= 60) || b == 62 || (b >= 64 && b <= 94) || (b >= 96 && b <= 126);
        if (m_addressField)
            literal = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                      b == '!' || b == '*' || b == '+' || b == '-' || b == '/';
        else if (m_quotedString && (b == '"' || b == '\\'))
            literal = false;
        if (literal)
            st.put(static_cast<char>(b));
        else if (b == ' ')
            st.put('_');
        else
            st.escape(b);
    }
    return st.flush();
}

namespace {
struct B64Table {
    signed char v[256];
    B64Table() {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        for (int i = 0; i < 64; ++i)
            v[static_cast<unsigned char>(kB64[i])] = static_cast<signed char>(i);
    }
};
const B64Table kB64Values;
}  // namespace

bool ContentCoding::decodeBase64(const char* text, uint32_t n, DataBuffer& out) {
    if (!text) return false;
    out.reserve(out.size() + n / 4 * 3 + 3);
    unsigned char area[4096];
    uint32_t used = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (text[i] == '=') break;
        int v = kB64Values.v[static_cast<unsigned char>(text[i])];
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            area[used++] = static_cast<unsigned char>((acc >> bits) & 0xFF);
            if (used == sizeof area) {
                if (!out.append(area, used)) return false;
                used = 0;
            }
        }
    }
    return out.append(area, used);
}

bool ContentCoding::decodeQuotedPrintable(const char* text, uint32_t n, DataBuffer& out) {
    if (!text) return false;
    out.reserve(out.size() + n);
    unsigned char area[4096];
    uint32_t used = 0;
    auto put = [&](unsigned char b) {
        area[used++] = b;
        if (used == sizeof area) {
            bool ok = out.append(area, used);
            used = 0;
            return ok;
        }
        return true;
    };
    for (uint32_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c != '=') {
            if (!put(static_cast<unsigned char>(c))) return false;
            continue;
        }
        if (i + 2 < n && text[i + 1] == '\r' && text[i + 2] == '\n') {
            i += 2;
            continue;
        }
        if (i + 1 < n && text[i + 1] == '\n') {
            i += 1;
            continue;
        }
        int hi = i + 1 < n ? hexValue(text[i + 1]) : -1;
        int lo = i + 2 < n ? hexValue(text[i + 2]) : -1;
        if (hi >= 0 && lo >= 0) {
            if (!put(static_cast<unsigned char>(hi * 16 + lo))) return false;
            i += 2;
        } else if (!put('=')) {
            return false;
        }
    }
    return out.append(area, used);
}

bool ContentCoding::decodeQWord(const char* text, uint32_t n, DataBuffer& out) {
    if (!text) return false;
    for (uint32_t i = 0; i < n; ++i) {
        char c = text[i];
        int hi = -1, lo = -1;
        if (c == '=' && i + 2 < n) {
            hi = hexValue(text[i + 1]);
            lo = hexValue(text[i + 2]);
        }
        if (hi >= 0 && lo >= 0) {
            out.appendByte(static_cast<unsigned char>(hi * 16 + lo));
            i += 2;
        } else {
            out.appendByte(static_cast<unsigned char>(c == '_' ? ' ' : c));
        }
    }
    return true;
}

namespace {

// One "=?charset?X?text?=" word starting at s; false when s does not begin one.
struct EncodedWord {
    const char* charset;
    uint32_t charsetLen;
    char kind;
    const char* text;
    uint32_t textLen;
    uint32_t total;
};

// The first "ab" at or after s, or null. Written out because a
// sanitizer's strstr measures the whole rest of the text on every call.
const char* findPair(const char* s, char a, char b) {
    for (; *s; ++s) {
        if (s[0] == a && s[1] == b) return s;
    }
    return nullptr;
}

// Charset names (with an RFC 2231 language) are short; the bound keeps a
// text full of "=?" from being searched over and over.
constexpr size_t kMaxCharsetLen = 80;

// noEnd is set once a search for "?=" has failed: no later word can end.
bool readWord(const char* s, EncodedWord& w, bool& noEnd) {
    if (s[0] != '=' || s[1] != '?' || noEnd) return false;
    const char* cs = s + 2;
    const char* q = cs;
    while (*q && *q != '?' && static_cast<size_t>(q - cs) <= kMaxCharsetLen) ++q;
    if (*q != '?' || q == cs) return false;
    char k = q[1];
    if (!(k == 'B' || k == 'b' || k == 'Q' || k == 'q') || q[2] != '?') return false;
    const char* t = q + 3;
    const char* end = findPair(t, '?', '=');
    if (!end) {
        noEnd = true;
        return false;
    }
    for (const char* c = cs; c < q; ++c) {
        if (isBlankOrBreak(*c)) return false;
    }
    w.charset = cs;
    w.charsetLen = static_cast<uint32_t>(q - cs);
    w.kind = lowerAscii(k);
    w.text = t;
    w.textLen = static_cast<uint32_t>(end - t);
    w.total = static_cast<uint32_t>(end + 2 - s);
    return true;
}

}  // namespace

void ContentCoding::decodeEncodedWords(const char* text, StringBuffer& out, unsigned* firstCodePage,
                                       const char* commaStandIn) {
    if (firstCodePage) *firstCodePage = 0;
    if (!text) return;
    bool sawCodePage = false;
    bool noEnd = false;
    auto emit = [&](const void* bytes, uint32_t n) {
        if (!commaStandIn) {
            out.append(bytes, n);
            return;
        }
        const char* b = static_cast<const char*>(bytes);
        uint32_t start = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (b[i] != ',') continue;
            out.append(b + start, i - start);
            out.append(commaStandIn);
            start = i + 1;
        }
        out.append(b + start, n - start);
    };
    const char* p = text;
    bool lastWasWord = false;
    while (*p) {
        EncodedWord w;
        if (!readWord(p, w, noEnd)) {
            // Blanks between two encoded words belong to neither.
            if (lastWasWord && isBlankOrBreak(*p)) {
                const char* q = p;
                while (*q && isBlankOrBreak(*q)) ++q;
                EncodedWord next;
                if (*q && readWord(q, next, noEnd)) {
                    p = q;
                    continue;
                }
            }
            const char* next = findPair(p + 1, '=', '?');
            uint32_t len =
                next ? static_cast<uint32_t>(next - p) : static_cast<uint32_t>(std::strlen(p));
            out.append(p, len);
            p += len;
            lastWasWord = false;
            continue;
        }
        StringBuffer cs;
        cs.setString(w.charset, w.charsetLen);
        int star = cs.findChar('*');  // an RFC 2231 language suffix
        if (star >= 0) cs.truncate(static_cast<uint32_t>(star));
        DataBuffer raw;
        if (w.kind == 'b')
            decodeBase64(w.text, w.textLen, raw);
        else
            decodeQWord(w.text, w.textLen, raw);
        unsigned codePage = cs.equalsIgnoreCase("8bit") ? 0 : nameToCodePage(cs.getString());
        if (!sawCodePage && codePage) {
            sawCodePage = true;
            if (firstCodePage) *firstCodePage = codePage;
        }
        // A charset we cannot convert from keeps its bytes; characters
        // without a mapping are dropped, the rest still shows.
        DataBuffer utf8;
        if (codePage && codePage != 65001 && raw.size() && EncodingConvert::isSupported(codePage)) {
            EncodingConvert().convert(codePage, 65001, raw.data(), raw.size(), utf8);
            emit(utf8.data(), utf8.size());
        } else {
            emit(raw.data(), raw.size());
        }
        p += w.total;
        lastWasWord = true;
    }
}

namespace {

// Decoded text that would end or split a quoted string, a phrase or a list.
bool needsQuoting(const StringBuffer& s) {
    for (uint32_t i = 0; i < s.length(); ++i) {
        char c = s.charAt(i);
        if (c && std::strchr("\"\\,;:<>()[]@", c)) return true;
    }
    return false;
}

// True when s is one or more encoded words with nothing but blanks around
// and between them.
bool onlyWords(const char* s) {
    bool noEnd = false;
    while (isBlankOrBreak(*s)) ++s;
    if (!*s) return false;
    while (*s) {
        EncodedWord w;
        if (!readWord(s, w, noEnd)) return false;
        s += w.total;
        while (isBlankOrBreak(*s)) ++s;
    }
    return true;
}

}  // namespace

void ContentCoding::decodeStructured(const char* text, StringBuffer& out, unsigned* firstCodePage) {
    if (firstCodePage) *firstCodePage = 0;
    if (!text) return;
    auto decode = [&](const char* words, StringBuffer& d) {
        unsigned cp = 0;
        decodeEncodedWords(words, d, &cp);
        if (firstCodePage && !*firstCodePage) *firstCodePage = cp;
    };
    const char* p = text;
    const char* end = text + std::strlen(text);
    bool noEnd = false;
    while (p < end) {
        if (*p == '"') {
            uint32_t len = mimetext::quotedEnd(p, static_cast<uint32_t>(end - p));
            bool closed = len >= 2 && p[len - 1] == '"';
            StringBuffer content;
            mimetext::appendUnescaped(content, p + 1, closed ? len - 2 : len - 1);
            if (closed && onlyWords(content.getString())) {
                StringBuffer d;
                decode(content.getString(), d);
                mimetext::appendQuoted(out, d.getString(), d.length());
            } else {
                out.append(p, len);
            }
            p += len;
            continue;
        }
        EncodedWord w;
        if (!readWord(p, w, noEnd)) {
            out.appendChar(*p++);
            continue;
        }
        // The run: this word and each one that follows after blanks only.
        const char* q = p + w.total;
        for (;;) {
            const char* r = q;
            while (r < end && isBlankOrBreak(*r)) ++r;
            if (r == end || !readWord(r, w, noEnd)) break;
            q = r + w.total;
        }
        StringBuffer run, d;
        run.setString(p, static_cast<uint32_t>(q - p));
        decode(run.getString(), d);
        if (needsQuoting(d))
            mimetext::appendQuoted(out, d.getString(), d.length());
        else
            out.append(d);
        p = q;
    }
}

void encodeHeaderWord(const char* utf8Text, const char* charsetName, StringBuffer& out) {
    static const char* const kBCharsets[] = {
        "shift_jis",  "shift-jis",    "iso-2022-jp", "euc-jp",      "euc-kr",     "iso-2022-kr",
        "gb2312",     "hz-gb-2312",   "euc-cn",      "cp-936",      "euc-tw",     "big5",
        "cp-950",     "cp-932",       "tis-620",     "windows-874", "iso-8859-9", "windows-1254",
        "iso-8859-6", "windows-1256", "cp-1256"};
    const char* cs = (charsetName && *charsetName) ? charsetName : "utf-8";
    const char* text = utf8Text ? utf8Text : "";
    bool isUtf8 = mimetext::equalsNoCase(cs, "utf-8");
    if (isUtf8 && std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;

    DataBuffer bytes;
    unsigned codePage = isUtf8 ? 65001 : nameToCodePage(cs);
    bool converted = false;
    if (codePage && codePage != 65001)
        converted = EncodingConvert().convert(65001, codePage, text,
                                              static_cast<uint32_t>(std::strlen(text)), bytes);
    if (!converted) {
        bytes.clear();
        bytes.append(text, static_cast<uint32_t>(std::strlen(text)));
        if (codePage != 65001) cs = "utf-8";
    }
    bool bWord = false;
    for (const char* name : kBCharsets) {
        if (mimetext::equalsNoCase(cs, name)) bWord = true;
    }
    out.append("=?");
    out.append(cs);
    if (bWord) {
        out.append("?B?");
        ContentCoding::encodeBase64(bytes.data(), bytes.size(), out);
    } else {
        out.append("?Q?");
        // Stored names are formatted inside a quoted string.
        ContentCoding q;
        q.setQuotedString(true);
        q.encodeQWord(bytes.data(), bytes.size(), out);
    }
    out.append("?=");
}
