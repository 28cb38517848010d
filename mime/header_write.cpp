// Header fields as text: folded 7-bit values, RFC 2047 encoded words in B
// or Q form for everything else, parameters and address lists.
#include <cstring>

#include "mime/content_coding.h"
#include "mime/mime_header.h"
#include "mime/mime_text.h"
#include "text/ascii.h"
#include "text/charset.h"
#include "text/encoding_convert.h"

using mimetext::beginsWithNoCase;
using text::all7bit;
using text::isBlank;

namespace {

using Kind = MimeField::Kind;

// Below the 998-octet limit of a header line, with room for one more word.
constexpr uint32_t kSafeColumn = 900;
constexpr uint32_t kHardColumn = 990;
// RFC 2047: an encoded word has at most 75 characters, and a line that
// holds encoded words at most 76.
constexpr uint32_t kMaxWord = 75;
constexpr uint32_t kMaxWordLine = 76;

// East Asian, Thai, Unicode, Arabic and the other pages whose text reads
// better as base64 than as a wall of escapes.
bool isBCodePage(unsigned cp) {
    switch (cp) {
        case 932:
        case 52936:
        case 936:
        case 949:
        case 950:
        case 874:
        case 1361:
        case 1200:
        case 1201:
        case 28596:
        case 1256:
            return true;
        default:
            return cp >= 50001 && cp <= 64999;
    }
}

struct Bytes {
    const unsigned char* p;
    uint32_t n;
};

// Text a reader would take for an encoded word ("=?" and later "?="): it
// goes out encoded itself, so that it reads back as the same text.
bool looksEncoded(Bytes v) {
    for (uint32_t i = 0; i + 1 < v.n; ++i) {
        if (v.p[i] != '=' || v.p[i + 1] != '?') continue;
        for (uint32_t k = i + 2; k + 1 < v.n; ++k) {
            if (v.p[k] == '?' && v.p[k + 1] == '=') return true;
        }
        return false;
    }
    return false;
}

// Offset of the first c at or after from outside quoted strings, or n.
uint32_t findOutsideQuotes(Bytes v, char c, uint32_t from) {
    for (uint32_t i = from; i < v.n; ++i) {
        if (v.p[i] == '"') {
            i += mimetext::quotedEnd(reinterpret_cast<const char*>(v.p + i), v.n - i) - 1;
            continue;
        }
        if (v.p[i] == static_cast<unsigned char>(c)) return i;
    }
    return v.n;
}

// The last guard: a CR LF stays only as a fold, that is followed by a
// blank and more text on the same line; any other CR, LF or NUL goes.
// False when memory ran out.
bool keepOnlyFolds(StringBuffer& line) {
    const char* s = line.getString();
    uint32_t n = line.length();
    bool clean = true;
    for (uint32_t i = 0; i < n && clean; ++i) {
        if (s[i] == '\0' || s[i] == '\r' || s[i] == '\n') clean = false;
    }
    if (clean) return true;
    auto isFold = [&](uint32_t i) {
        if (i + 2 >= n || s[i] != '\r' || s[i + 1] != '\n' || !isBlank(s[i + 2])) return false;
        uint32_t k = i + 2;
        while (k < n && isBlank(s[k])) ++k;
        return k < n && s[k] != '\r' && s[k] != '\n' && s[k] != '\0';
    };
    StringBuffer out;
    bool ok = true;
    for (uint32_t i = 0; i < n; ++i) {
        if (isFold(i)) {
            ok = out.append("\r\n") && ok;
            ++i;
        } else if (s[i] != '\0' && s[i] != '\r' && s[i] != '\n') {
            ok = out.appendChar(s[i]) && ok;
        }
    }
    return ok && line.setString(out.getString(), out.length());
}

// Builds one field's text; the column is tracked so folds land where the
// rules say.
class FieldWriter {
  public:
    FieldWriter(const MimeField& f, StringBuffer& line) : m_field(f), m_line(line) {}

    // Whether a 7-bit value still has to go out as encoded words: text that
    // looks like encoded words, and unstructured text with a run too long
    // for one line (breaking it would add a blank to the value).
    bool mustEncode(Bytes v) const;
    void setForceWords(bool on) { m_forceWords = on; }

    void writeFolded(Bytes v);
    void writeRaw(Bytes v);
    // v is the UTF-8 value; words carry it in the charset of codePage,
    // which holds every character of it. Quotes, brackets and separators
    // are found in the UTF-8 text, where no byte of a multi-byte character
    // can pass for one.
    void writeEncoded(Bytes v, unsigned codePage, const char* charsetName, bool bForm);
    // False once any piece of the line could not be stored.
    bool ok() const { return m_ok; }

  private:
    // Every piece goes through these, so that one failed append fails the
    // field instead of leaving it short.
    void add(const char* s) { m_ok = m_line.append(s) && m_ok; }
    void add(const StringBuffer& s) { m_ok = m_line.append(s) && m_ok; }
    void addChar(char c) { m_ok = m_line.appendChar(c) && m_ok; }
    void check(bool stored) const { m_ok = stored && m_ok; }

    // Where an encoded word stands: free text, a phrase (display name) or
    // a quoted string (parameter value).
    enum class Place { Text, Phrase, Quoted };

    uint32_t column() const {
        int at = -1;
        const char* s = m_line.getString();
        for (uint32_t i = m_line.length(); i-- > 0;) {
            if (s[i] == '\n') {
                at = static_cast<int>(i);
                break;
            }
        }
        return m_line.length() - static_cast<uint32_t>(at + 1);
    }
    // UTF-8 text that can stand in a header as it is (an ESC would start
    // an iso-2022 escape in a reader).
    static bool plain(Bytes v) { return all7bit(v.p, v.n) && !std::memchr(v.p, 0x1B, v.n); }
    bool structured() const {
        return m_field.kind() == Kind::Address || m_field.kind() == Kind::Parameters;
    }
    void fold() { add(m_field.noFold() ? " " : "\r\n\t"); }
    void put(char c, uint32_t& col);
    void encodePiece(Bytes v);
    void words(Bytes v, Place place = Place::Text);
    void phraseWords(Bytes v);
    void writeConverted(Bytes v);
    void word(Bytes v, Place place, StringBuffer& out) const;
    uint32_t wordRoom(Place place) const;
    void parameters(Bytes v);
    void addressList(Bytes v);
    void addressItem(Bytes v);

    const MimeField& m_field;
    StringBuffer& m_line;
    unsigned m_codePage = 65001;
    const char* m_charset = "utf-8";
    bool m_bForm = false;
    bool m_forceWords = false;
    mutable bool m_ok = true;
};

bool FieldWriter::mustEncode(Bytes v) const {
    Kind kind = m_field.kind();
    if (kind == Kind::Verbatim) return false;
    if (looksEncoded(v)) return true;
    if (kind != Kind::Unstructured) return false;
    // The line as put() would break it: only at blanks after kSafeColumn.
    uint32_t col = m_field.name().length() + 2;
    for (uint32_t i = 0; i < v.n; ++i) {
        unsigned char c = v.p[i];
        if (c == '\r' || c == '\n' || c == '\0') continue;
        if (col >= kHardColumn) return true;
        if (col >= kSafeColumn && isBlank(c)) col = 0;
        ++col;
    }
    return false;
}

// One character of a value; line breaks inside a value never reach the
// output, and an over-long line is broken before it passes the limit.
void FieldWriter::put(char c, uint32_t& col) {
    if (c == '\r' || c == '\n' || c == '\0') return;
    if (col >= kHardColumn || (col >= kSafeColumn && (c == ' ' || c == '\t'))) {
        add(c == ' ' || c == '\t' ? "\r\n" : "\r\n\t");
        col = c == ' ' || c == '\t' ? 0 : 1;
    }
    addChar(c);
    ++col;
}

void FieldWriter::writeRaw(Bytes v) {
    uint32_t col = column();
    for (uint32_t i = 0; i < v.n; ++i) put(static_cast<char>(v.p[i]), col);
}

// Structured fields may fold after their separators (";" and, in long
// address lists, ","), outside quoted strings; unstructured text keeps
// every character where it is and only ever folds at its own blanks.
void FieldWriter::writeFolded(Bytes v) {
    bool noFold = m_field.noFold() || !structured();
    bool commaFold = false;
    if (!noFold && v.n > 60) {
        bool at = std::memchr(v.p, '@', v.n) != nullptr;
        bool comma = std::memchr(v.p, ',', v.n) != nullptr;
        commaFold = at && comma;
    }
    uint32_t col = m_field.name().length() + 2;
    bool quoted = false;
    for (uint32_t i = 0; i < v.n; ++i) {
        char c = static_cast<char>(v.p[i]);
        put(c, col);
        if (noFold) continue;
        if (quoted && c == '\\' && i + 1 < v.n) {
            put(static_cast<char>(v.p[++i]), col);
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        bool breakHere = (c == ';' && col >= 21 && (i + 1 >= v.n || v.p[i + 1] != '>')) ||
                         (c == ',' && commaFold && col >= 21);
        if (breakHere) {
            add("\r\n\t");
            col = 0;
        }
    }
}

void FieldWriter::writeEncoded(Bytes v, unsigned codePage, const char* charsetName, bool bForm) {
    m_codePage = codePage ? codePage : 65001;
    m_charset = (charsetName && *charsetName) ? charsetName : "utf-8";
    m_bForm = bForm;
    const StringBuffer& name = m_field.name();
    Kind kind = m_field.kind();
    if (kind == Kind::Verbatim) {
        writeConverted(v);
    } else if (name.equalsIgnoreCase("subject") || name.equalsIgnoreCase("thread-topic")) {
        words(v);
    } else if (plain(v) && !m_forceWords) {
        if (column() + v.n < 66)
            writeRaw(v);
        else
            writeFolded(v);
    } else if (kind == Kind::Address) {
        // In the 7-bit iso-2022 and utf-7 charsets too: raw, their escapes
        // would read as text.
        addressList(v);
    } else if (kind == Kind::Parameters) {
        if (findOutsideQuotes(v, ';', 0) < v.n)
            parameters(v);
        else
            encodePiece(v);
    } else {
        words(v);
    }
}

// A piece of a value: unchanged when it is 7-bit, else encoded words.
void FieldWriter::encodePiece(Bytes v) {
    if (plain(v))
        writeRaw(v);
    else
        words(v);
}

void FieldWriter::word(Bytes v, Place place, StringBuffer& out) const {
    bool ok = out.append("=?") && out.append(m_charset);
    if (m_bForm) {
        ok = out.append("?B?") && ContentCoding::encodeBase64(v.p, v.n, out) && ok;
    } else {
        ok = out.append("?Q?") && ok;
        ContentCoding q;
        q.setAddressField(place == Place::Phrase);
        q.setQuotedString(place == Place::Quoted);
        ok = q.encodeQWord(v.p, v.n, out) && ok;
    }
    check(out.append("?=") && ok);
}

// How long the next word may be: 75 characters, and short enough to end
// the line by column 76 unless that leaves no room for a character.
uint32_t FieldWriter::wordRoom(Place place) const {
    uint32_t used = column() + (place == Place::Quoted ? 1 : 0);
    uint32_t room = used < kMaxWordLine ? kMaxWordLine - used : 0;
    uint32_t least = static_cast<uint32_t>(std::strlen(m_charset)) + 7 + 12;
    if (room < least) room = kMaxWord;
    return room < kMaxWord ? room : kMaxWord;
}

// Raw text in the field's charset (fields that are never encoded).
void FieldWriter::writeConverted(Bytes v) {
    DataBuffer conv;
    if (m_codePage != cp::Utf8 && !plain(v) &&
        EncodingConvert().convert(cp::Utf8, m_codePage, v.p, v.n, conv))
        writeRaw({conv.data(), conv.size()});
    else
        writeRaw(v);
}

// Text is cut into words of at most 12 (B) or 17 (Q) UTF-16 units, fewer
// when the word would pass its length limit, so that no word splits a
// character and every word stays short. Readers join adjacent words
// without the fold between them. A phrase takes as many units as fit.
void FieldWriter::words(Bytes v, Place place) {
    uint32_t threshold = m_bForm ? 24 : 35;
    uint32_t units = place == Place::Phrase ? 64 : m_bForm ? 12 : 17;
    StringBuffer w;
    auto fits = [&](const unsigned char* p, uint32_t n, uint32_t room) {
        w.clear();
        word({p, n}, place, w);
        return w.length() <= room;
    };
    DataBuffer wide;
    bool first = true;
    if (EncodingConvert().convert(cp::Utf8, cp::Utf16LE, v.p, v.n, wide) && wide.size() >= 2) {
        const unsigned char* u = wide.data();
        uint32_t total = wide.size() / 2;
        DataBuffer whole;
        if (m_codePage != cp::Utf8 &&
            !EncodingConvert().convert(cp::Utf16LE, m_codePage, u, wide.size(), whole)) {
            // Not every character of this piece has a place in the charset.
            m_codePage = cp::Utf8;
            m_charset = "utf-8";
        }
        if (m_codePage == cp::Utf8) check(whole.append(v.p, v.n));
        if (whole.size() < threshold && fits(whole.data(), whole.size(), wordRoom(place))) {
            add(w);
            return;
        }
        auto high = [&](uint32_t k) {
            unsigned unit = u[2 * k] | (u[2 * k + 1] << 8);
            return unit >= 0xD800 && unit <= 0xDBFF;
        };
        for (uint32_t at = 0; at < total;) {
            if (!first) fold();
            first = false;
            uint32_t room = wordRoom(place);
            uint32_t least = high(at) && at + 1 < total ? 2 : 1;
            uint32_t take = total - at < units ? total - at : units;
            DataBuffer piece;
            for (;;) {
                // Keep a surrogate pair together.
                if (take > least && at + take < total && high(at + take - 1)) --take;
                piece.clear();
                EncodingConvert().convert(cp::Utf16LE, m_codePage, u + 2 * at, take * 2, piece);
                if (take <= least || fits(piece.data(), piece.size(), room)) break;
                --take;
            }
            // A name is cut after its own last space that fits, the space
            // kept at the end of the first word (RFC 2047 readers drop the
            // blank between two words), so no word of the name is cut.
            for (uint32_t k = at + take - 1; place == Place::Phrase && at + take < total && k > at;
                 --k) {
                if ((u[2 * k] | (u[2 * k + 1] << 8)) != ' ') continue;
                if (k + 1 < at + take) {
                    take = k + 1 - at;
                    piece.clear();
                    EncodingConvert().convert(cp::Utf16LE, m_codePage, u + 2 * at, take * 2, piece);
                }
                break;
            }
            w.clear();
            word({piece.data(), piece.size()}, place, w);
            add(w);
            at += take;
        }
        return;
    }
    // Text that is not valid UTF-8: cut by bytes, never inside what looks
    // like a UTF-8 sequence, and labelled as what it was meant to be.
    m_codePage = cp::Utf8;
    m_charset = "utf-8";
    uint32_t step = units * 2;
    for (uint32_t at = 0; at < v.n;) {
        if (!first) fold();
        first = false;
        uint32_t room = wordRoom(place);
        uint32_t take = v.n - at < step ? v.n - at : step;
        for (;;) {
            while (take > 1 && at + take < v.n && (v.p[at + take] & 0xC0) == 0x80) --take;
            if (take <= 1 || fits(v.p + at, take, room)) break;
            --take;
        }
        w.clear();
        word({v.p + at, take}, place, w);
        add(w);
        at += take;
    }
}

// A display name that needs more than one Q word goes as B words when
// that takes fewer: some readers keep the blank between two words of a
// name, so the fewer the better.
void FieldWriter::phraseWords(Bytes v) {
    uint32_t mark = m_line.length();
    words(v, Place::Phrase);
    auto count = [&]() {
        uint32_t n = 0;
        for (int at = m_line.find("?=", mark); at >= 0;
             at = m_line.find("?=", static_cast<uint32_t>(at) + 2))
            ++n;
        return n;
    };
    uint32_t q = count();
    if (m_bForm || q < 2) return;
    StringBuffer qText;
    check(qText.append(m_line.getString() + mark, m_line.length() - mark));
    m_line.truncate(mark);
    m_bForm = true;
    words(v, Place::Phrase);
    m_bForm = false;
    if (count() < q) return;
    m_line.truncate(mark);
    add(qText);
}

// "type; p1=v1; p2=v2": the type and each parameter value on their own,
// values as quoted text or quoted encoded words.
void FieldWriter::parameters(Bytes v) {
    uint32_t head = findOutsideQuotes(v, ';', 0);
    if (head > 1) encodePiece({v.p, head});
    add(";");

    uint32_t pos = head + 1;
    bool any = false;
    while (pos < v.n) {
        uint32_t end = findOutsideQuotes(v, ';', pos);
        uint32_t a = pos, b = end;
        pos = end + 1;
        while (a < b && isBlank(v.p[a])) ++a;
        while (b > a && isBlank(v.p[b - 1])) --b;
        if (a == b) continue;

        uint32_t lineStart = m_line.length();
        const unsigned char* eq =
            static_cast<const unsigned char*>(std::memchr(v.p + a, '=', b - a));
        if (!eq) {
            encodePiece({v.p + a, b - a});
        } else {
            uint32_t ne = static_cast<uint32_t>(eq - v.p);
            uint32_t nb = ne;
            while (nb > a && isBlank(v.p[nb - 1])) --nb;
            Bytes pname{v.p + a, nb - a};
            writeRaw(pname);
            add("=\"");
            uint32_t va = ne + 1;
            while (va < b && isBlank(v.p[va])) ++va;
            Bytes raw{v.p + va, b - va};
            bool quoted =
                raw.n >= 2 && raw.p[0] == '"' &&
                mimetext::quotedEnd(reinterpret_cast<const char*>(raw.p), raw.n) == raw.n &&
                raw.p[raw.n - 1] == '"';
            StringBuffer text;
            if (quoted) {
                raw = {raw.p + 1, raw.n - 2};
                mimetext::appendUnescaped(text, reinterpret_cast<const char*>(raw.p), raw.n);
            } else {
                check(text.append(raw.p, raw.n));
            }
            Bytes t{text.getBytes(), text.length()};
            // Only names are text for people; a boundary or charset that
            // looks like a word stays as it is.
            StringBuffer pn;
            check(pn.append(pname.p, pname.n));
            bool human = pn.equalsIgnoreCase("name") || pn.equalsIgnoreCase("filename");
            if (!plain(t) || (human && looksEncoded(t))) {
                words(t, Place::Quoted);
            } else if (quoted) {
                writeRaw(raw);
            } else {
                StringBuffer escaped;
                mimetext::appendQuotedContent(escaped, text.getString(), text.length());
                writeRaw({escaped.getBytes(), escaped.length()});
            }
            add("\"");
        }
        // Decide the fold with the parameter's length known.
        uint32_t paramLen = m_line.length() - lineStart;
        StringBuffer param;
        check(param.append(m_line.getString() + lineStart, paramLen));
        m_line.truncate(lineStart);
        if (any) add(";");
        uint32_t col = column();
        int nl = param.findChar('\n');
        uint32_t firstLine = nl < 0 ? paramLen : static_cast<uint32_t>(nl);
        if (col >= 35 || col + firstLine > 64)
            fold();
        else
            add(" ");
        add(param);
        any = true;
    }
}

// Only the friendly names are encoded; the addresses in angle brackets and
// the separators stay as they are.
void FieldWriter::addressList(Bytes v) {
    bool longList = v.n > 60 && !m_field.noFold();
    uint32_t pos = 0;
    while (pos < v.n) {
        uint32_t end = pos;
        bool angle = false;
        while (end < v.n) {
            unsigned char c = v.p[end];
            if (c == '"' && !angle) {
                end += mimetext::quotedEnd(reinterpret_cast<const char*>(v.p + end), v.n - end);
                continue;
            }
            if (c == '<')
                angle = true;
            else if (c == '>')
                angle = false;
            else if (c == ',' && !angle)
                break;
            ++end;
        }
        addressItem({v.p + pos, end - pos});
        if (end < v.n) {
            add(",");
            if (longList && column() >= 21) {
                add("\r\n\t");
                // The blank that followed the comma is not needed after a fold.
                while (end + 1 < v.n && v.p[end + 1] == ' ') ++end;
            }
        }
        pos = end + 1;
    }
}

void FieldWriter::addressItem(Bytes v) {
    uint32_t lt = findOutsideQuotes(v, '<', 0);
    if (lt == v.n) {
        writeConverted(v);
        return;
    }
    uint32_t a = 0;
    while (a < lt && isBlank(v.p[a])) ++a;
    writeRaw({v.p, a});
    uint32_t trail = lt;
    while (trail > a && isBlank(v.p[trail - 1])) --trail;
    Bytes phrase{v.p + a, trail - a};
    StringBuffer name;
    mimetext::appendPhraseText(name, reinterpret_cast<const char*>(phrase.p), phrase.n);
    Bytes n{name.getBytes(), name.length()};
    if (n.n && (!plain(n) || looksEncoded(n)))
        phraseWords(n);
    else
        writeRaw(phrase);
    writeRaw({v.p + trail, v.n - trail});
}

}  // namespace

bool MimeField::write(StringBuffer& out, unsigned codePage) const {
    if (m_name.isEmpty()) return true;
    StringBuffer line;
    if (!line.append(m_name) || !line.append(": ")) return false;
    FieldWriter w(*this, line);
    Bytes v{m_value.getBytes(), m_value.length()};
    bool force = w.mustEncode(v);
    w.setForceWords(force);
    bool ascii = all7bit(v.p, v.n) && !force;
    StringBuffer charsetName;

    if (isBCodePage(codePage)) {
        if (codePage == 50225 && ascii) {
            w.writeFolded(v);
        } else {
            bool done = false;
            if (codePage != cp::Utf16LE && codePage != cp::Utf16BE) {
                DataBuffer conv;
                if (EncodingConvert().convert(cp::Utf8, codePage, v.p, v.n, conv) &&
                    codePageToName(codePage, charsetName)) {
                    w.writeEncoded(v, codePage, charsetName.getString(), true);
                    done = true;
                }
            }
            if (!done) w.writeEncoded(v, cp::Utf8, "utf-8", true);
        }
        if (line.length() == m_name.length() + 2) w.writeFolded(v);
    } else if (ascii || (codePage == cp::UsAscii && !force)) {
        w.writeFolded(v);
    } else {
        bool done = false;
        unsigned tries[2] = {codePage, 0};
        if (codePage == cp::Latin1 || codePage == cp::Windows1252) tries[1] = 28592;
        for (unsigned target : tries) {
            if (done || !target || target == cp::Utf8) continue;
            DataBuffer conv;
            if (EncodingConvert().convert(cp::Utf8, target, v.p, v.n, conv) &&
                codePageToName(target, charsetName)) {
                w.writeEncoded(v, target, charsetName.getString(), false);
                done = true;
            }
        }
        if (!done) w.writeEncoded(v, cp::Utf8, "utf-8", false);
    }
    line.trimRight();
    return w.ok() && keepOnlyFolds(line) && out.append(line);
}

bool MimeHeader::writeHeader(StringBuffer& out, const char* omitPrefix, unsigned codePage) const {
    bool filter = omitPrefix && *omitPrefix;
    for (uint32_t i = 0; i < m_fields.count(); ++i) {
        const MimeField* f = m_fields.at<MimeField>(i);
        if (!f || f->name().isEmpty()) continue;
        if (filter && beginsWithNoCase(f->name().getString(), omitPrefix)) continue;
        if (!f->write(out, codePage) || !out.append("\r\n")) return false;
    }
    while (out.endsWith("\r\n")) out.truncate(out.length() - 2);
    return true;
}
