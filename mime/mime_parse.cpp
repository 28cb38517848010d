// Reading MIME text back into a tree: header splitting, content
// parameters, transfer decoding and multipart splitting, tolerant of the
// damage real mail shows and bounded against hostile text.
#include <cstring>

#include "diag/log_base.h"
#include "mime/content_coding.h"
#include "mime/email2.h"
#include "mime/mime_message.h"
#include "mime/mime_text.h"
#include "platform/code_pages.h"
#include "text/ascii.h"
#include "text/encoding_convert.h"

using mimetext::beginsWithNoCase;
using mimetext::containsNoCase;
using mimetext::equalsNoCase;

namespace {

using text::isBlank;

// Finds where the header ends: "\r\n\r\n" and the damaged forms
// "\r\n\r\r\n", "\r\n\r" and "\n\r\n", whichever comes first.
bool findSeparator(const unsigned char* p, uint32_t n, uint32_t& headerEnd, uint32_t& bodyStart) {
    for (uint32_t i = 0; i + 2 < n; ++i) {
        if (p[i] == '\r' && p[i + 1] == '\n' && p[i + 2] == '\r') {
            headerEnd = i;
            if (i + 3 < n && p[i + 3] == '\n')
                bodyStart = i + 4;
            else if (i + 4 < n && p[i + 3] == '\r' && p[i + 4] == '\n')
                bodyStart = i + 5;
            else
                bodyStart = i + 3;
            return true;
        }
        if (p[i] == '\n' && p[i + 1] == '\r' && p[i + 2] == '\n') {
            headerEnd = i;
            bodyStart = i + 3;
            return true;
        }
    }
    return false;
}

bool contains(const unsigned char* p, uint32_t n, const char* s) {
    size_t k = std::strlen(s);
    if (k > n) return false;
    for (uint32_t i = 0; i + k <= n; ++i) {
        if (p[i] == static_cast<unsigned char>(s[0]) && std::memcmp(p + i, s, k) == 0) return true;
    }
    return false;
}

bool hasCrLf(const unsigned char* p, uint32_t n) {
    for (uint32_t i = 0; i + 1 < n; ++i) {
        if (p[i] == '\r' && p[i + 1] == '\n') return true;
    }
    return false;
}

// Every CR dropped, every LF made CR LF.
void lfToCrLf(const unsigned char* p, uint32_t n, DataBuffer& out) {
    out.clear();
    out.reserve(n + n / 8 + 16);
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] == '\r') continue;
        if (p[i] == '\n') out.appendByte('\r');
        out.appendByte(p[i]);
    }
}

// "\r\r\r\n" and "\r\r\n" become CR LF.
void collapseCrs(const unsigned char* p, uint32_t n, DataBuffer& out) {
    DataBuffer result;
    result.reserve(n + 1);
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] == '\r' && i + 3 < n && p[i + 1] == '\r' && p[i + 2] == '\r' && p[i + 3] == '\n') {
            result.append("\r\n", 2);
            i += 3;
        } else if (p[i] == '\r' && i + 2 < n && p[i + 1] == '\r' && p[i + 2] == '\n') {
            result.append("\r\n", 2);
            i += 2;
        } else {
            result.appendByte(p[i]);
        }
    }
    out = result;
}

// A CR that does not start CR LF becomes CR LF.
void loneCrToCrLf(const unsigned char* p, uint32_t n, DataBuffer& out) {
    DataBuffer result;
    result.reserve(n + n / 8 + 16);
    for (uint32_t i = 0; i < n; ++i) {
        result.appendByte(p[i]);
        if (p[i] == '\r' && !(i + 1 < n && p[i + 1] == '\n')) result.appendByte('\n');
    }
    out = result;
}

// ---------------------------------------------------------------- parameters

struct Param {
    StringBuffer name;  // lower case
    StringBuffer value;
};

void freeParams(ExtPtrArray& list) {
    list.deleteAll();
}

class ParamObj : public BrenvikObject {
  public:
    Param p;
};

// The parameters after the first ";" of a field value: name=value or
// name="quoted value", separated by ";" outside quotes.
void parseParams(const char* v, ExtPtrArray& out) {
    const char* semi = std::strchr(v, ';');
    if (!semi) return;
    const char* s = semi + 1;
    while (*s) {
        while (*s == ';' || isBlank(static_cast<unsigned char>(*s))) ++s;
        if (!*s) break;
        const char* nameStart = s;
        while (*s && *s != '=' && *s != ';') ++s;
        StringBuffer pname;
        pname.append(nameStart, static_cast<uint32_t>(s - nameStart));
        pname.trim();
        pname.toLowerCase();
        StringBuffer pvalue;
        if (*s == '=') {
            ++s;
            while (isBlank(static_cast<unsigned char>(*s))) ++s;
            if (*s == '"') {
                ++s;
                while (*s && *s != '"') {
                    if (*s == '\\' && s[1]) ++s;
                    pvalue.appendChar(*s++);
                }
                if (*s == '"') ++s;
                while (*s && *s != ';') ++s;
            } else {
                const char* vs = s;
                while (*s && *s != ';') ++s;
                pvalue.append(vs, static_cast<uint32_t>(s - vs));
                pvalue.trim();
            }
        }
        if (pname.isEmpty()) continue;
        ParamObj* o = new ParamObj;
        o->p.name.setString(pname.getString());
        o->p.value.setString(pvalue.getString(), pvalue.length());
        if (!out.append(o)) delete o;
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void percentDecode(const char* s, DataBuffer& out) {
    for (; *s; ++s) {
        int hi = s[0] == '%' ? hexDigit(s[1]) : -1;
        int lo = hi >= 0 ? hexDigit(s[2]) : -1;
        if (hi >= 0 && lo >= 0) {
            out.appendByte(static_cast<unsigned char>(hi * 16 + lo));
            s += 2;
        } else {
            out.appendByte(static_cast<unsigned char>(*s));
        }
    }
}

// A parameter by name, in its RFC 2231 forms too: name*=charset'lang'text
// and the continuations name*0*, name*1*, ... (or name*0, name*1 plain).
// The extended form wins over the plain one; the result is UTF-8.
bool findParam(const ExtPtrArray& params, const char* name, StringBuffer& out) {
    out.clear();
    StringBuffer star(name);
    star.append("*");
    DataBuffer bytes;
    StringBuffer charset;
    bool found = false;
    bool encoded = false;
    for (uint32_t i = 0; i < params.count() && !found; ++i) {
        const Param& p = params.at<ParamObj>(i)->p;
        if (!p.name.equals(star.getString())) continue;
        const char* v = p.value.getString();
        const char* q1 = std::strchr(v, '\'');
        const char* q2 = q1 ? std::strchr(q1 + 1, '\'') : nullptr;
        if (q2) {
            charset.setString(v, static_cast<uint32_t>(q1 - v));
            v = q2 + 1;
        }
        percentDecode(v, bytes);
        found = encoded = true;
    }
    if (!found) {
        // Continuations, in index order; a gap ends the value.
        for (int index = 0; index < 1000; ++index) {
            StringBuffer plain(star.getString()), ext;
            plain.appendInt(index);
            ext.append(plain);
            ext.append("*");
            bool got = false;
            for (uint32_t i = 0; i < params.count() && !got; ++i) {
                const Param& p = params.at<ParamObj>(i)->p;
                if (p.name.equals(ext.getString())) {
                    const char* v = p.value.getString();
                    if (index == 0) {
                        const char* q1 = std::strchr(v, '\'');
                        const char* q2 = q1 ? std::strchr(q1 + 1, '\'') : nullptr;
                        if (q2) {
                            charset.setString(v, static_cast<uint32_t>(q1 - v));
                            v = q2 + 1;
                        }
                    }
                    percentDecode(v, bytes);
                    got = encoded = true;
                } else if (p.name.equals(plain.getString())) {
                    bytes.append(p.value.getString(), p.value.length());
                    got = true;
                }
            }
            if (!got) break;
            found = true;
        }
    }
    if (found) {
        unsigned cp = encoded ? nameToCodePage(charset.getString()) : 0;
        DataBuffer utf8;
        if (cp && cp != cp::Utf8 && EncodingConvert::isSupported(cp)) {
            EncodingConvert().convert(cp, cp::Utf8, bytes.data(), bytes.size(), utf8);
            out.append(utf8.data(), utf8.size());
        } else {
            out.append(bytes.data(), bytes.size());
        }
        return true;
    }
    for (uint32_t i = 0; i < params.count(); ++i) {
        const Param& p = params.at<ParamObj>(i)->p;
        if (p.name.equals(name)) {
            out.setString(p.value.getString(), p.value.length());
            return true;
        }
    }
    return false;
}

// The value up to the first ";", trimmed.
void mainValue(const StringBuffer& v, StringBuffer& out) {
    int semi = v.findChar(';');
    out.setString(v.getString(), semi < 0 ? v.length() : static_cast<uint32_t>(semi));
    out.trim();
}

// In To and Cc a ";" separates like ","; inside a quoted name it is text.
void semicolonsToCommas(StringBuffer& v) {
    StringBuffer out;
    const char* s = v.getString();
    uint32_t n = v.length();
    for (uint32_t i = 0; i < n;) {
        if (s[i] == '"') {
            uint32_t len = mimetext::quotedEnd(s + i, n - i);
            out.append(s + i, len);
            i += len;
            continue;
        }
        out.appendChar(s[i] == ';' ? ',' : s[i]);
        ++i;
    }
    v.setString(out.getString(), out.length());
}

bool validFieldName(const unsigned char* p, uint32_t n) {
    if (n == 0) return false;
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] < 33 || p[i] > 126) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- MimeMessage2

MimeMessage2::~MimeMessage2() {
    parts.deleteAll();
}

bool MimeMessage2::loadMime(const void* text, uint32_t n, LogBase& log) {
    Budget budget;
    return load(static_cast<const unsigned char*>(text), text ? n : 0, 0, budget, log);
}

bool MimeMessage2::load(const unsigned char* p, uint32_t n, int depth, Budget& budget,
                        LogBase& log) {
    ++budget.entities;
    DataBuffer fixed;  // a repaired copy of the text, when it needed one
    uint32_t headerEnd = 0, bodyStart = 0;
    bool found = false;
    bool headerless = false;
    if (n >= 2 && p[0] == '\r' && p[1] == '\n') {
        headerless = true;
        bodyStart = 2;
    } else {
        found = findSeparator(p, n, headerEnd, bodyStart);
        if (!found && contains(p, n, "\n\n") && !hasCrLf(p, n)) {
            lfToCrLf(p, n, fixed);
            p = fixed.data();
            n = fixed.size();
            found = findSeparator(p, n, headerEnd, bodyStart);
        }
        if (!found && (contains(p, n, "\r\r\r\n") || contains(p, n, "\r\r\n"))) {
            collapseCrs(p, n, fixed);
            p = fixed.data();
            n = fixed.size();
            found = findSeparator(p, n, headerEnd, bodyStart);
        }
        if (!found && contains(p, n, "\r\r")) {
            loneCrToCrLf(p, n, fixed);
            p = fixed.data();
            n = fixed.size();
            found = findSeparator(p, n, headerEnd, bodyStart);
        }
        if (!found && depth == 0 && n > kMaxSeparatorless) {
            log.LogError("This is not MIME.");
            return false;
        }
        if (!found) {
            headerEnd = n;
            bodyStart = n;
        }
    }
    if (headerless) {
        // Only the message itself needs saying what it is; a part without
        // a header is text/plain anyway.
        if (depth == 0) header.addField("Content-Type", "text/plain");
    } else {
        parseHeader(p, headerEnd, budget);
    }
    splitContentFields();

    const unsigned char* b = p + bodyStart;
    uint32_t bn = n - bodyStart;
    if (beginsWithNoCase(contentType.getString(), "multipart/") && depth < kMaxDepth) {
        splitMultipart(b, bn, depth, budget, log);
        if (parts.count() == 0) body.append(b, bn);
    } else {
        decodeBody(b, bn);
    }
    return true;
}

void MimeMessage2::parseHeader(const unsigned char* p, uint32_t n, Budget& budget) {
    StringBuffer name, value;
    bool have = false;
    uint32_t i = 0;
    while (i < n) {
        uint32_t ls = i;
        uint32_t le = ls;
        while (le < n && p[le] != '\r' && p[le] != '\n') ++le;
        i = le + ((le + 1 < n && p[le] == '\r' && p[le + 1] == '\n') ? 2 : 1);
        if (le == ls) continue;
        if (isBlank(p[ls])) {
            // A continuation: our own folds are CR LF TAB and are taken out
            // whole when the value is stored; a fold before a blank keeps
            // the blank.
            if (!have) continue;
            if (p[ls] == '\t') value.append("\r\n");
            value.append(p + ls, le - ls);
            continue;
        }
        if (have) addParsedField(name, value);
        have = false;
        const unsigned char* colon =
            static_cast<const unsigned char*>(std::memchr(p + ls, ':', le - ls));
        if (!colon) continue;  // not a field: skipped
        uint32_t ne = static_cast<uint32_t>(colon - p);
        while (ne > ls && isBlank(p[ne - 1])) --ne;
        if (!validFieldName(p + ls, ne - ls)) continue;
        if (budget.fields >= kMaxFields) continue;
        ++budget.fields;
        name.setString(p + ls, ne - ls);
        uint32_t vs = static_cast<uint32_t>(colon - p) + 1;
        while (vs < le && isBlank(p[vs])) ++vs;
        value.setString(p + vs, le - vs);
        have = true;
    }
    if (have) addParsedField(name, value);
}

void MimeMessage2::addParsedField(StringBuffer& fname, StringBuffer& value) {
    // A NUL would cut the value short anyway; say so plainly.
    int nul = -1;
    for (uint32_t k = 0; k < value.length() && nul < 0; ++k) {
        if (value.charAt(k) == 0) nul = static_cast<int>(k);
    }
    if (nul >= 0) value.truncate(static_cast<uint32_t>(nul));

    bool encoded =
        containsNoCase(value.getString(), "?Q?") || containsNoCase(value.getString(), "?B?");
    bool toOrCc = fname.equalsIgnoreCase("to") || fname.equalsIgnoreCase("cc");
    if (toOrCc) semicolonsToCommas(value);
    if (!encoded) {
        header.addField(fname.getString(), value.getString());
        return;
    }
    unsigned cp = 0;
    bool addresses = toOrCc || fname.equalsIgnoreCase("from");
    StringBuffer decoded;
    // Decoded names come out quoted when they hold a comma or a quote, so
    // they cannot split the list.
    ContentCoding::decodeStructured(value.getString(), decoded, &cp);
    if (cp && !header.codePage()) header.setCodePage(cp);
    if (!addresses) {
        header.addField(fname.getString(), value.getString());
        return;
    }
    LogNull quiet;
    ExtPtrArray list;
    Rfc822Address::parseAddressList(decoded.getString(), list, false, quiet);
    StringBuffer joined;
    for (uint32_t i = 0; i < list.count(); ++i) {
        Rfc822Address* a = list.at<Rfc822Address>(i);
        StringBuffer nm;
        a->getName(nm);
        a->setName(nm.getString());
        if (!joined.isEmpty()) joined.append(", ");
        a->format(joined);
    }
    list.deleteAll();
    if (joined.isEmpty()) joined.append(decoded);
    header.addField(fname.getString(), joined.getString());
}

void MimeMessage2::splitContentFields() {
    StringBuffer v;
    ExtPtrArray params;
    if (header.getField("Content-Type", v)) {
        mainValue(v, contentType);
        parseParams(v.getString(), params);
        StringBuffer s;
        if (findParam(params, "charset", s)) charset.setByName(s.getString());
        findParam(params, "boundary", boundary);
        findParam(params, "name", name);
        findParam(params, "protocol", protocol);
        findParam(params, "micalg", micalg);
        findParam(params, "smime-type", smimeType);
        findParam(params, "type", type);
        formatFlowed = findParam(params, "format", s) && s.equalsIgnoreCase("flowed");
        freeParams(params);
    }
    if (header.getField("Content-Disposition", v)) {
        mainValue(v, disposition);
        parseParams(v.getString(), params);
        findParam(params, "filename", filename);
        freeParams(params);
    }
    if (header.getField("Content-ID", v)) contentId.setString(v.getString());
    if (header.getField("Content-Transfer-Encoding", v)) {
        v.trim();
        transferEncoding.setString(v.getString());
    }
}

void MimeMessage2::decodeBody(const unsigned char* p, uint32_t n) {
    const char* t = reinterpret_cast<const char*>(p);
    if (transferEncoding.equalsIgnoreCase("base64")) {
        ContentCoding::decodeBase64(t, n, body);
    } else if (transferEncoding.equalsIgnoreCase("quoted-printable")) {
        ContentCoding::decodeQuotedPrintable(t, n, body);
    } else {
        body.append(p, n);
        if (contentType.equalsIgnoreCase("message/rfc822") &&
            (transferEncoding.isEmpty() || transferEncoding.equalsIgnoreCase("binary")))
            transferEncoding.setString("8bit");
    }
}

void MimeMessage2::splitMultipart(const unsigned char* p, uint32_t n, int depth, Budget& budget,
                                  LogBase& log) {
    // Line starts: the first byte and every byte after a LF.
    auto nextLine = [&](uint32_t at) -> uint32_t {
        const void* lf = at < n ? std::memchr(p + at, '\n', n - at) : nullptr;
        return lf ? static_cast<uint32_t>(static_cast<const unsigned char*>(lf) - p) + 1 : n;
    };
    if (boundary.isEmpty()) {
        // No boundary given: the first line that looks like a delimiter
        // names it.
        for (uint32_t ls = 0; ls < n; ls = nextLine(ls)) {
            uint32_t le = nextLine(ls);
            uint32_t ce = le;
            while (ce > ls && (p[ce - 1] == '\n' || p[ce - 1] == '\r' || isBlank(p[ce - 1]))) --ce;
            if (ce - ls > 2 && p[ls] == '-' && p[ls + 1] == '-') {
                boundary.setString(p + ls + 2, ce - ls - 2);
                if (boundary.endsWith("--") && boundary.length() > 2)
                    boundary.truncate(boundary.length() - 2);
                boundaryGuessed = true;
                break;
            }
        }
        if (boundary.isEmpty()) return;
    }
    const char* b = boundary.getString();
    uint32_t bl = boundary.length();

    bool inPart = false;
    uint32_t partStart = 0;
    auto addPart = [&](uint32_t start, uint32_t end) {
        if (budget.entities >= kMaxEntities) return;
        MimeMessage2* part = new MimeMessage2;
        part->load(p + start, end - start, depth + 1, budget, log);
        if (!parts.append(part)) delete part;
    };
    for (uint32_t ls = 0; ls < n; ls = nextLine(ls)) {
        if (n - ls < bl + 2 || p[ls] != '-' || p[ls + 1] != '-' ||
            std::memcmp(p + ls + 2, b, bl) != 0)
            continue;
        uint32_t le = nextLine(ls);
        uint32_t r = ls + 2 + bl;
        bool closing = r + 1 < le && p[r] == '-' && p[r + 1] == '-';
        uint32_t k = closing ? r + 2 : r;
        while (k < le && (isBlank(p[k]) || p[k] == '\r' || p[k] == '\n')) ++k;
        if (k != le) continue;  // a longer boundary, or text after it
        if (inPart) {
            // The line end before a delimiter belongs to the delimiter.
            uint32_t end = ls;
            if (end > partStart && p[end - 1] == '\n') --end;
            if (end > partStart && p[end - 1] == '\r') --end;
            addPart(partStart, end);
        }
        if (closing) return;
        inPart = true;
        partStart = le;
    }
    // No closing delimiter: the last part runs to the end of the text.
    if (inPart) addPart(partStart, n);
}

// ---------------------------------------------------------------- Email2

std::unique_ptr<Email2> Email2::fromMessage(MimeMessage2& msg, int depth) {
    std::unique_ptr<Email2> e(new Email2);
    msg.header.mergeFields("to");
    msg.header.mergeFields("cc");
    e->m_header.setCodePage(msg.header.codePage());
    e->m_header.takeFields(msg.header);
    e->m_contentType.setString(msg.contentType.getString());
    e->m_charset = msg.charset;
    e->m_boundary.setString(msg.boundary.getString());
    e->m_name.setString(msg.name.getString());
    e->m_protocol.setString(msg.protocol.getString());
    e->m_micalg.setString(msg.micalg.getString());
    e->m_smimeType.setString(msg.smimeType.getString());
    e->m_type.setString(msg.type.getString());
    e->m_formatFlowed = msg.formatFlowed ? 1 : 0;
    e->m_disposition.setString(msg.disposition.getString());
    e->m_filename.setString(msg.filename.getString());
    e->m_contentId.setString(msg.contentId.getString());
    e->m_transferEncoding.setString(msg.transferEncoding.getString());

    LogNull quiet;
    StringBuffer v;
    if (e->m_header.getField("to", v))
        Rfc822Address::parseAddressList(v.getString(), e->m_to, false, quiet);
    if (e->m_header.getField("cc", v))
        Rfc822Address::parseAddressList(v.getString(), e->m_cc, false, quiet);
    if (e->m_header.getField("from", v)) {
        e->m_from.reset(Rfc822Address::parseAddress(v.getString(), quiet));
        if (!e->m_from) e->m_fromName.setString(v.getString());
    }
    if (e->m_header.getField("date", v)) DateParser::parseRfc822Date(v.getString(), e->m_date);

    // Text is held as UTF-8 in the tree and converted again when rendered.
    unsigned cp = msg.charset.getCodePage();
    if (cp && cp != cp::Utf8 && beginsWithNoCase(msg.contentType.getString(), "text/") &&
        msg.body.size()) {
        unsigned from = cp == cp::UsAscii ? platform::ansiCodePage() : cp;
        EncodingConvert().convert(from, cp::Utf8, msg.body.data(), msg.body.size(), e->m_body);
    } else {
        e->m_body = msg.body;
    }
    msg.body.takeOver(nullptr, 0, 0);  // frees it: large bodies are not held twice

    for (uint32_t i = 0; i < msg.numParts(); ++i)
        e->m_parts.appendOwned(fromMessage(*msg.getPart(i), depth + 1));
    if (msg.boundaryGuessed) e->rewriteContentType();
    return e;
}

std::unique_ptr<Email2> Email2::createFromMime(const void* text, uint32_t n, LogBase& log) {
    MimeMessage2 msg;
    if (!msg.loadMime(text, n, log)) return nullptr;
    std::unique_ptr<Email2> e = fromMessage(msg, 0);
    e->normaliseAfterLoad(0);
    return e;
}

void Email2::normaliseAfterLoad(int depth) {
    if (depth == 0) attachmentRootToMixed();
    if (m_contentType.equalsIgnoreCase("multipart/mixed")) mixedTextsToAlternative();
    if (depth >= MimeMessage2::kMaxDepth) return;
    for (uint32_t i = 0; i < numParts(); ++i) getPart(i)->normaliseAfterLoad(depth + 1);
}

// A message that is nothing but an attachment gets an (empty) text part in
// front, so that readers show it as an attachment.
void Email2::attachmentRootToMixed() {
    if (!m_disposition.equals("attachment")) return;
    StringBuffer lower(m_contentType.getString());
    lower.toLowerCase();
    if (lower.beginsWith("multipart") || lower.contains("pkcs7")) return;

    std::unique_ptr<Email2> text = createInnerPart();
    std::unique_ptr<Email2> att = createInnerPart();
    att->m_charset = m_charset;
    att->setContentType(
        {.type = m_contentType.isEmpty() ? "application/octet-stream" : m_contentType.getString(),
         .name = m_name.getString(),
         .charset = &m_charset});
    if (m_transferEncoding.isEmpty())
        att->removeHeaderField("Content-Transfer-Encoding");
    else
        att->setContentTransferEncoding(m_transferEncoding.getString());
    att->setContentDisposition("attachment",
                               m_filename.isEmpty() ? nullptr : m_filename.getString());
    att->m_body = m_body;
    m_body.takeOver(nullptr, 0, 0);

    StringBuffer boundary;
    generateBoundary(boundary);
    boundary.append("_.MIX");
    removeHeaderField("Content-Type");
    removeHeaderField("Content-Disposition");
    removeHeaderField("Content-Transfer-Encoding");
    setContentType({.type = "multipart/mixed", .boundary = boundary.getString()});
    m_parts.appendOwned(std::move(text));
    m_parts.appendOwned(std::move(att));
}

// Plain and HTML text side by side in a mixed container are alternatives.
void Email2::mixedTextsToAlternative() {
    auto bodyText = [](Email2* p, const char* type) {
        return p->m_contentType.equalsIgnoreCase(type) && !p->isMultipart() && p->numParts() == 0 &&
               !p->isAttachment(false) && p->m_filename.isEmpty();
    };
    int plain = -1, html = -1;
    for (uint32_t i = 0; i < numParts(); ++i) {
        if (plain < 0 && bodyText(getPart(i), "text/plain")) plain = static_cast<int>(i);
        if (html < 0 && bodyText(getPart(i), "text/html")) html = static_cast<int>(i);
    }
    if (plain < 0 || html < 0) return;
    if (numParts() == 2) {
        setContentType({.type = "multipart/alternative", .boundary = m_boundary.getString()});
        return;
    }
    std::unique_ptr<Email2> alt = createInnerPart();
    StringBuffer boundary;
    generateBoundary(boundary);
    boundary.append("_.ALT");
    alt->setContentType({.type = "multipart/alternative", .boundary = boundary.getString()});
    alt->removeHeaderField("Content-Transfer-Encoding");
    // Remove the later index first so the earlier one stays valid.
    int first = plain < html ? plain : html, second = plain < html ? html : plain;
    std::unique_ptr<Email2> b2(
        static_cast<Email2*>(m_parts.removeAt(static_cast<uint32_t>(second))));
    std::unique_ptr<Email2> b1(
        static_cast<Email2*>(m_parts.removeAt(static_cast<uint32_t>(first))));
    alt->m_parts.appendOwned(std::move(plain < html ? b1 : b2));
    alt->m_parts.appendOwned(std::move(plain < html ? b2 : b1));
    m_parts.insertOwned(0, std::move(alt));
}
