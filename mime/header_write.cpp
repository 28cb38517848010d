// Header fields as text: folded 7-bit values, RFC 2047 encoded words in B
// or Q form for everything else, parameters and address lists.
#include <cstring>

#include "mime/content_coding.h"
#include "mime/mime_header.h"
#include "mime/mime_text.h"
#include "text/charset.h"
#include "text/encoding_convert.h"

using mimetext::beginsWithNoCase;

namespace {

// Below the 998-octet limit of a header line, with room for one more word.
constexpr uint32_t kSafeColumn = 900;
constexpr uint32_t kHardColumn = 990;

bool all7bit(const unsigned char* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] >= 0x80) return false;
    }
    return true;
}

// East Asian, Thai, Unicode, Arabic and the other pages whose text reads
// better as base64 than as a wall of escapes.
bool isBCodePage(unsigned cp) {
    switch (cp) {
        case 932: case 52936: case 936: case 949: case 950: case 874:
        case 1361: case 1200: case 1201: case 28596: case 1256:
            return true;
        default:
            return cp >= 50001 && cp <= 64999;
    }
}

struct Bytes {
    const unsigned char* p;
    uint32_t n;
};

// Builds one field's text; the column is tracked so folds land where the
// rules say.
class FieldWriter {
  public:
    FieldWriter(const MimeField& f, StringBuffer& line)
        : m_field(f), m_line(line),
          m_address(f.name().equalsIgnoreCase("to") || f.name().equalsIgnoreCase("cc") ||
                    f.name().equalsIgnoreCase("from")) {}

    bool isAddressField() const { return m_address; }

    void writeFolded(Bytes v);
    void writeRaw(Bytes v);
    // v is text in the charset of codePage (65001 for UTF-8).
    void writeEncoded(Bytes v, unsigned codePage, const char* charsetName, bool bForm);

  private:
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
    void fold() { m_line.append(m_field.noFold() ? " " : "\r\n\t"); }
    void put(char c, uint32_t& col);
    void encodePiece(Bytes v);
    void words(Bytes v);
    void word(Bytes v);
    void parameters(Bytes v);
    void addressList(Bytes v);
    void addressItem(Bytes v);

    const MimeField& m_field;
    StringBuffer& m_line;
    bool m_address;
    unsigned m_codePage = 65001;
    const char* m_charset = "utf-8";
    bool m_bForm = false;
};

// One character of a value; line breaks inside a value never reach the
// output, and an over-long line is broken before it passes the limit.
void FieldWriter::put(char c, uint32_t& col) {
    if (c == '\r' || c == '\n' || c == '\0') return;
    if (col >= kHardColumn || (col >= kSafeColumn && (c == ' ' || c == '\t'))) {
        m_line.append(c == ' ' || c == '\t' ? "\r\n" : "\r\n\t");
        col = c == ' ' || c == '\t' ? 0 : 1;
    }
    m_line.appendChar(c);
    ++col;
}

void FieldWriter::writeRaw(Bytes v) {
    uint32_t col = column();
    for (uint32_t i = 0; i < v.n; ++i) put(static_cast<char>(v.p[i]), col);
}

void FieldWriter::writeFolded(Bytes v) {
    bool noFold = m_field.noFold();
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
        if (c == '"') quoted = !quoted;
        if (noFold || quoted) continue;
        bool breakHere = (c == ';' && col >= 21 && (i + 1 >= v.n || v.p[i + 1] != '>')) ||
                         (c == ',' && commaFold && col >= 21);
        if (breakHere) {
            m_line.append("\r\n\t");
            col = 0;
        }
    }
}

void FieldWriter::writeEncoded(Bytes v, unsigned codePage, const char* charsetName, bool bForm) {
    m_codePage = codePage ? codePage : 65001;
    m_charset = (charsetName && *charsetName) ? charsetName : "utf-8";
    m_bForm = bForm;
    const StringBuffer& name = m_field.name();
    if (name.equalsIgnoreCase("received") || name.equalsIgnoreCase("content-transfer-encoding")) {
        writeRaw(v);
    } else if (name.equalsIgnoreCase("subject") || name.equalsIgnoreCase("thread-topic")) {
        words(v);
    } else if (all7bit(v.p, v.n)) {
        if (column() + v.n < 66)
            writeRaw(v);
        else
            writeFolded(v);
    } else if (m_address) {
        // These charsets are 7-bit already; their escapes must stay intact.
        if ((codePage >= 50220 && codePage <= 50230) || codePage == cp::Utf7)
            writeRaw(v);
        else
            addressList(v);
    } else if (std::memchr(v.p, ';', v.n)) {
        parameters(v);
    } else {
        words(v);
    }
}

// A piece of a value: unchanged when it is 7-bit, else encoded words.
void FieldWriter::encodePiece(Bytes v) {
    if (all7bit(v.p, v.n))
        writeRaw(v);
    else
        words(v);
}

void FieldWriter::word(Bytes v) {
    m_line.append("=?");
    m_line.append(m_charset);
    if (m_bForm) {
        m_line.append("?B?");
        ContentCoding::encodeBase64(v.p, v.n, m_line);
    } else {
        m_line.append("?Q?");
        ContentCoding q;
        q.setAddressField(m_address);
        q.encodeQWord(v.p, v.n, m_line);
    }
    m_line.append("?=");
}

// Long text is cut into words of 12 (B) or 17 (Q) UTF-16 units, so that no
// word splits a character and every word stays short.
void FieldWriter::words(Bytes v) {
    uint32_t threshold = m_bForm ? 24 : 35;
    uint32_t units = m_bForm ? 12 : 17;
    if (v.n < threshold) {
        word(v);
        return;
    }
    DataBuffer wide;
    EncodingConvert conv;
    bool first = true;
    if (conv.convert(m_codePage, cp::Utf16LE, v.p, v.n, wide) && wide.size() >= 2) {
        const unsigned char* w = wide.data();
        uint32_t total = wide.size() / 2;
        for (uint32_t at = 0; at < total;) {
            uint32_t take = total - at < units ? total - at : units;
            // Keep a surrogate pair together.
            if (take > 1 && at + take < total) {
                unsigned last = w[2 * (at + take - 1)] | (w[2 * (at + take - 1) + 1] << 8);
                if (last >= 0xD800 && last <= 0xDBFF) --take;
            }
            DataBuffer piece;
            EncodingConvert().convert(cp::Utf16LE, m_codePage, w + 2 * at, take * 2, piece);
            if (!first) fold();
            first = false;
            word({piece.data(), piece.size()});
            at += take;
        }
        return;
    }
    // Text that is not valid in its charset: cut by bytes, never inside a
    // UTF-8 sequence.
    uint32_t step = units * 2;
    for (uint32_t at = 0; at < v.n;) {
        uint32_t take = v.n - at < step ? v.n - at : step;
        if (m_codePage == cp::Utf8) {
            while (take > 1 && at + take < v.n && (v.p[at + take] & 0xC0) == 0x80) --take;
        }
        if (!first) fold();
        first = false;
        word({v.p + at, take});
        at += take;
    }
}

// "type; p1=v1; p2=v2": the type and each parameter value on their own,
// values as quoted text or quoted encoded words.
void FieldWriter::parameters(Bytes v) {
    const unsigned char* semi = static_cast<const unsigned char*>(std::memchr(v.p, ';', v.n));
    uint32_t head = static_cast<uint32_t>(semi - v.p);
    if (head > 1) encodePiece({v.p, head});
    m_line.append(";");

    uint32_t pos = head + 1;
    bool any = false;
    while (pos < v.n) {
        uint32_t end = pos;
        bool quoted = false;
        while (end < v.n && (quoted || v.p[end] != ';')) {
            if (v.p[end] == '"') quoted = !quoted;
            ++end;
        }
        uint32_t a = pos, b = end;
        pos = end + 1;
        while (a < b && (v.p[a] == ' ' || v.p[a] == '\t')) ++a;
        while (b > a && (v.p[b - 1] == ' ' || v.p[b - 1] == '\t')) --b;
        if (a == b) continue;

        uint32_t lineStart = m_line.length();
        const unsigned char* eq = static_cast<const unsigned char*>(std::memchr(v.p + a, '=', b - a));
        if (!eq) {
            encodePiece({v.p + a, b - a});
        } else {
            uint32_t ne = static_cast<uint32_t>(eq - v.p);
            uint32_t na = a, nb = ne;
            while (nb > na && (v.p[nb - 1] == ' ' || v.p[nb - 1] == '\t')) --nb;
            m_line.append(v.p + na, nb - na);
            m_line.append("=\"");
            uint32_t va = ne + 1, vb = b;
            while (va < vb && (v.p[va] == ' ' || v.p[va] == '\t')) ++va;
            if (vb - va >= 2 && v.p[va] == '"' && v.p[vb - 1] == '"') {
                ++va;
                --vb;
            }
            encodePiece({v.p + va, vb - va});
            m_line.append("\"");
        }
        // Decide the fold with the parameter's length known.
        uint32_t paramLen = m_line.length() - lineStart;
        StringBuffer param;
        param.append(m_line.getString() + lineStart, paramLen);
        m_line.truncate(lineStart);
        if (any) m_line.append(";");
        uint32_t col = column();
        int nl = param.findChar('\n');
        uint32_t firstLine = nl < 0 ? paramLen : static_cast<uint32_t>(nl);
        if (col >= 35 || col + firstLine > 64)
            fold();
        else
            m_line.append(" ");
        m_line.append(param);
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
        bool quoted = false, angle = false;
        while (end < v.n) {
            unsigned char c = v.p[end];
            if (c == '"' && !angle) quoted = !quoted;
            else if (c == '<' && !quoted) angle = true;
            else if (c == '>' && !quoted) angle = false;
            else if (c == ',' && !quoted && !angle) break;
            ++end;
        }
        addressItem({v.p + pos, end - pos});
        if (end < v.n) {
            m_line.append(",");
            if (longList && column() >= 21) {
                m_line.append("\r\n\t");
                // The blank that followed the comma is not needed after a fold.
                while (end + 1 < v.n && v.p[end + 1] == ' ') ++end;
            }
        }
        pos = end + 1;
    }
}

void FieldWriter::addressItem(Bytes v) {
    uint32_t lt = v.n;
    bool quoted = false;
    for (uint32_t i = 0; i < v.n; ++i) {
        if (v.p[i] == '"') quoted = !quoted;
        else if (v.p[i] == '<' && !quoted) {
            lt = i;
            break;
        }
    }
    if (lt == v.n) {
        writeRaw(v);
        return;
    }
    uint32_t a = 0, b = lt;
    while (a < b && (v.p[a] == ' ' || v.p[a] == '\t')) ++a;
    writeRaw({v.p, a});
    uint32_t trail = b;
    while (trail > a && (v.p[trail - 1] == ' ' || v.p[trail - 1] == '\t')) --trail;
    uint32_t na = a, nb = trail;
    if (nb - na >= 2 && v.p[na] == '"' && v.p[nb - 1] == '"') {
        ++na;
        --nb;
    }
    if (nb > na) {
        if (all7bit(v.p + a, trail - a))
            writeRaw({v.p + a, trail - a});
        else
            words({v.p + na, nb - na});
    }
    writeRaw({v.p + trail, v.n - trail});
}

}  // namespace

void MimeField::write(StringBuffer& out, unsigned codePage) const {
    StringBuffer line;
    line.append(m_name);
    line.append(": ");
    FieldWriter w(*this, line);
    Bytes v{m_value.getBytes(), m_value.length()};
    bool ascii = all7bit(v.p, v.n);
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
                    w.writeEncoded({conv.data(), conv.size()}, codePage, charsetName.getString(), true);
                    done = true;
                }
            }
            if (!done) w.writeEncoded(v, cp::Utf8, "utf-8", true);
        }
        if (line.length() == m_name.length() + 2) w.writeFolded(v);
    } else if (ascii || codePage == cp::UsAscii) {
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
                w.writeEncoded({conv.data(), conv.size()}, target, charsetName.getString(), false);
                done = true;
            }
        }
        if (!done) w.writeEncoded(v, cp::Utf8, "utf-8", false);
    }
    line.trimRight();
    out.append(line);
}

void MimeHeader::writeHeader(StringBuffer& out, const char* omitPrefix, unsigned codePage) const {
    bool filter = omitPrefix && *omitPrefix;
    for (uint32_t i = 0; i < m_fields.count(); ++i) {
        const MimeField* f = m_fields.at<MimeField>(i);
        if (!f || (filter && beginsWithNoCase(f->name().getString(), omitPrefix))) continue;
        f->write(out, codePage);
        out.append("\r\n");
    }
    while (out.endsWith("\r\n")) out.truncate(out.length() - 2);
}
