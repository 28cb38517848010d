#include "mime/email2.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

#include "diag/log_base.h"
#include "mime/content_coding.h"
#include "mime/mime_text.h"
#include "platform/sockets.h"

using mimetext::beginsWithNoCase;
using mimetext::containsNoCase;
using mimetext::equalsNoCase;

namespace {

// Names the program and its version in every message it makes.
constexpr const char* kXMailer = "Brenvik smtp_plugin " SMTP_PLUGIN_VERSION;

// One generator for the process, seeded from the clock on first use (or by
// a test that pins the identifiers).
struct IdSource {
    std::mutex lock;
    std::mt19937 gen;
    bool seeded = false;
};

IdSource& idSource() {
    static IdSource source;
    return source;
}

uint32_t random32() {
    IdSource& s = idSource();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.seeded) {
        auto now = std::chrono::system_clock::now().time_since_epoch().count();
        auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
        std::seed_seq seq{static_cast<uint32_t>(now), static_cast<uint32_t>(now >> 32),
                          static_cast<uint32_t>(tick)};
        s.gen.seed(seq);
        s.seeded = true;
    }
    return static_cast<uint32_t>(s.gen());
}

void stripAngles(StringBuffer& s) {
    s.removeChar('<');
    s.removeChar('>');
    s.trim();
}

}  // namespace

// ---------------------------------------------------------------- creation

std::unique_ptr<Email2> Email2::createNewEmail() {
    std::unique_ptr<Email2> e(new Email2);
    e->initNew();
    return e;
}

std::unique_ptr<Email2> Email2::createInnerPart() {
    std::unique_ptr<Email2> e = createNewEmail();
    for (const char* f : {"Date", "X-Mailer", "X-Priority", "MIME-Version", "Message-ID"})
        e->m_header.removeField(f);
    return e;
}

void Email2::initNew() {
    setHeaderField("MIME-Version", "1.0");
    StringBuffer date;
    DateParser::currentDateRfc822(date);
    setHeaderField("Date", date.getString());
    setHeaderField("X-Mailer", kXMailer);
    generateMessageId();
    setContentType({.type = "text/plain"});
    setContentTransferEncoding("7bit");
    // Set again so that it follows the content fields.
    setHeaderField("X-Mailer", kXMailer);
    setHeaderField("X-Priority", "3 (Normal)");
}

Email2::~Email2() {
    m_parts.deleteAll();
    m_to.deleteAll();
    m_cc.deleteAll();
    m_bcc.deleteAll();
}

// ---------------------------------------------------------------- header fields

bool Email2::getHeaderField(const char* name, StringBuffer& out) const {
    return m_header.getField(name, out);
}

void Email2::setHeaderField(const char* name, const char* value) {
    if (!name) return;
    StringBuffer v(value ? value : "");
    v.removeChar('\r');
    v.removeChar('\n');
    if (equalsNoCase(name, "Content-Transfer-Encoding"))
        setContentTransferEncoding(v.getString());
    else if (equalsNoCase(name, "Content-ID"))
        setContentId(v.getString());
    else if (equalsNoCase(name, "Date"))
        setDate(v.getString());
    else if (equalsNoCase(name, "From"))
        setFrom(v.getString());
    else if (equalsNoCase(name, "Reply-To"))
        setReplyTo(v.getString());
    else
        m_header.replaceField(name, v.getString());
}

void Email2::removeHeaderField(const char* name) {
    if (!name) return;
    m_header.removeField(name);
    if (equalsNoCase(name, "to")) {
        m_to.deleteAll();
    } else if (equalsNoCase(name, "cc")) {
        m_cc.deleteAll();
    } else if (equalsNoCase(name, "content-type")) {
        m_contentType.clear();
        m_name.clear();
        m_protocol.clear();
        m_micalg.clear();
        m_boundary.clear();
        m_smimeType.clear();
        m_charset.clear();
        m_formatFlowed = 0;
    } else if (equalsNoCase(name, "Content-Disposition")) {
        m_disposition.clear();
        m_filename.clear();
    } else if (equalsNoCase(name, "Content-Transfer-Encoding")) {
        m_transferEncoding.clear();
    } else if (equalsNoCase(name, "Content-ID")) {
        m_contentId.clear();
    } else if (equalsNoCase(name, "From")) {
        m_fromName.clear();
        m_from.reset();
    }
}

void Email2::setDate(const char* text) {
    SystemTime t;
    if (DateParser::parseRfc822Date(text, t)) m_date = t;
    m_header.replaceField("Date", text);
}

void Email2::setContentId(const char* text) {
    m_contentId.setString(text ? text : "");
    m_header.replaceField("Content-ID", text);
}

// ---------------------------------------------------------------- content description

ContentTypeFields Email2::contentTypeFields() const {
    return {.type = m_contentType.getString(),
            .name = m_name.getString(),
            .protocol = m_protocol.getString(),
            .micalg = m_micalg.getString(),
            .charset = &m_charset,
            .boundary = m_boundary.getString(),
            .smimeType = m_smimeType.getString(),
            .typeParam = m_type.getString()};
}

void Email2::setContentType(const ContentTypeFields& f) {
    auto str = [](const char* s) { return s ? s : ""; };
    // Copies first: the fields may be this node's own.
    StringBuffer ct(str(f.type)), nm(str(f.name)), pr(str(f.protocol)), mi(str(f.micalg)),
        bo(str(f.boundary)), sm(str(f.smimeType)), ty(str(f.typeParam));
    Charset cs;
    bool haveCharset = f.charset && f.charset->getNameSb().length() > 0;
    if (haveCharset) cs = *f.charset;
    ct.trim();
    if (ct.isEmpty())
        ct.setString(m_contentType.isEmpty() ? "text/plain" : m_contentType.getString());

    m_name.clear();
    m_protocol.clear();
    m_micalg.clear();
    m_boundary.clear();
    m_smimeType.clear();
    m_type.clear();
    m_contentType.setString(ct.getString());

    StringBuffer v(ct.getString());
    const char* c = ct.getString();
    bool text = beginsWithNoCase(c, "text");
    // Text is converted to the stored charset when it is written, so the
    // header names that charset even when the caller gave none.
    if (!haveCharset && text && m_charset.getNameSb().length() > 0) {
        cs = m_charset;
        haveCharset = true;
    }
    if (text || beginsWithNoCase(ty.getString(), "text") || containsNoCase(c, "multipart/signed") ||
        beginsWithNoCase(c, "message")) {
        if (haveCharset) {
            v.append("; charset=\"");
            v.append(cs.getName());
            v.append("\";");
            m_charset = cs;
        } else {
            v.append(";");
        }
    }
    auto sep = [&v]() {
        if (!v.endsWith(";")) v.append(";");
    };
    auto param = [&](const StringBuffer& value, const char* prefix, bool quoted) {
        if (value.isEmpty()) return;
        sep();
        v.append(prefix);
        if (quoted)
            mimetext::appendQuoted(v, value.getString(), value.length());
        else
            v.append(value);
        v.append(";");
    };
    // Of the multipart types only multipart/related carries "type": the
    // type of its root part (RFC 2387).
    bool related = ct.equalsIgnoreCase("multipart/related");
    if (related && ty.isEmpty() && numParts()) ty.setString(getPart(0)->m_contentType.getString());
    if (!containsNoCase(v.getString(), "multipart") || related) param(ty, " type=", true);
    param(bo, "\r\n\tboundary=", true);
    param(nm, "\r\n\tname=", true);
    param(pr, "\r\n\tprotocol=", true);
    param(mi, "\r\n\tmicalg=", false);
    param(sm, "\r\n\tsmime-type=", false);
    if (m_formatFlowed && ct.equalsIgnoreCase("text/plain")) {
        sep();
        v.append("\r\n\tformat=flowed;");
    }
    m_name.append(nm);
    m_protocol.append(pr);
    m_micalg.append(mi);
    m_boundary.append(bo);
    m_smimeType.append(sm);
    m_type.append(ty);

    v.trim();
    if (v.endsWith(";")) v.truncate(v.length() - 1);
    v.trim();
    m_header.replaceField("Content-Type", v.getString());
}

void Email2::rewriteContentType() {
    setContentType(contentTypeFields());
}

void Email2::setContentDisposition(const char* disposition, const char* filename) {
    m_disposition.setString(disposition ? disposition : "");
    m_filename.setString(filename ? filename : "");
    StringBuffer v(m_disposition.getString());
    if (filename) {
        v.append("; filename=");
        mimetext::appendQuoted(v, filename, static_cast<uint32_t>(std::strlen(filename)));
    }
    m_header.replaceField("Content-Disposition", v.getString());
}

void Email2::setContentTransferEncoding(const char* value) {
    m_transferEncoding.setString(value ? value : "");
    m_transferEncoding.trim();
    m_header.replaceField("Content-Transfer-Encoding", value);
}

bool Email2::isContentType(const char* prefix) const {
    return beginsWithNoCase(m_contentType.getString(), prefix);
}

bool Email2::isMultipart() const {
    return isContentType("multipart");
}

bool Email2::isAttachment(bool strict) const {
    const char* ct = m_contentType.getString();
    bool attachment = m_disposition.equalsIgnoreCase("attachment");
    bool isInline = m_disposition.equalsIgnoreCase("inline");
    if (equalsNoCase(ct, "message/rfc822"))
        return attachment && mimetext::endsWithNoCase(m_filename.getString(), ".mht");
    if (attachment || beginsWithNoCase(ct, "application/")) return true;
    if (!isInline) {
        const char* n = m_name.getString();
        return (!m_name.isEmpty() && m_transferEncoding.equalsIgnoreCase("base64")) ||
               mimetext::endsWithNoCase(n, ".pem") || mimetext::endsWithNoCase(n, ".pmi") ||
               mimetext::endsWithNoCase(n, ".gtr");
    }
    if (isMultipart()) return false;
    if (!m_filename.isEmpty()) return true;
    if (strict && (beginsWithNoCase(ct, "image/") || beginsWithNoCase(ct, "application/") ||
                   beginsWithNoCase(ct, "audio/") || beginsWithNoCase(ct, "video/")))
        return true;
    return beginsWithNoCase(ct, "image/") && containsNoCase(ct, "-tiff");
}

// ---------------------------------------------------------------- recipients

void Email2::rebuildAddressField(const ExtPtrArray& list, const char* field) {
    StringBuffer v;
    for (uint32_t i = 0; i < list.count(); ++i) {
        const Rfc822Address* a = list.at<Rfc822Address>(i);
        if (!a) continue;
        if (!v.isEmpty()) v.append(", ");
        a->format(v);
    }
    m_header.replaceField(field, v.getString());
}

bool Email2::addRecipient(ExtPtrArray& list, const char* field, const char* name,
                          const char* address) {
    if (!address || !*address) return false;
    if (!list.appendOwned(std::make_unique<Rfc822Address>(name, address))) return false;
    if (field) rebuildAddressField(list, field);
    return true;
}

bool Email2::addTo(const char* name, const char* address) {
    return addRecipient(m_to, "To", name, address);
}
bool Email2::addCc(const char* name, const char* address) {
    return addRecipient(m_cc, "Cc", name, address);
}
bool Email2::addBcc(const char* name, const char* address) {
    return addRecipient(m_bcc, nullptr, name, address);
}

namespace {
void decodeIfEncoded(const char* text, StringBuffer& out) {
    if (containsNoCase(text, "?Q?") || containsNoCase(text, "?B?"))
        ContentCoding::decodeEncodedWords(text, out);
    else
        out.append(text);
}
}  // namespace

int Email2::addToList(const char* text, LogBase& log) {
    if (!text) return 0;
    StringBuffer t;
    decodeIfEncoded(text, t);
    int n = Rfc822Address::parseAddressList(t.getString(), m_to, false, log);
    rebuildAddressField(m_to, "To");
    return n;
}

int Email2::addBccList(const char* text, LogBase& log) {
    if (!text) return 0;
    StringBuffer t;
    decodeIfEncoded(text, t);
    return Rfc822Address::parseAddressList(t.getString(), m_bcc, false, log);
}

void Email2::clearTo() {
    m_to.deleteAll();
    m_header.removeField("To");
}
void Email2::clearCc() {
    m_cc.deleteAll();
    m_header.removeField("Cc");
}
void Email2::clearBcc() {
    m_bcc.deleteAll();
}

// ---------------------------------------------------------------- sender

void Email2::setFromAddress(const char* address) {
    if (!address || !std::strchr(address, '@')) return;
    if (!m_from)
        m_from = std::make_unique<Rfc822Address>(m_fromName.getString(), address);
    else
        m_from->setAddress(address);
    StringBuffer v;
    m_from->format(v);
    m_header.replaceField("From", v.getString());
    if (!m_header.hasField("return-path"))
        m_header.replaceField("Return-Path", m_from->address().getString());
}

void Email2::setSenderFromParsed(const char* text, bool replyTo) {
    LogNull log;
    std::unique_ptr<Rfc822Address> a(Rfc822Address::parseAddress(text, log));
    if (!a) return;
    StringBuffer name;
    a->getName(name);
    if (!name.isEmpty()) {
        StringBuffer word;
        encodeHeaderWord(name.getString(), "utf-8", word);
        a->setName(word.getString());
    }
    StringBuffer v;
    a->format(v);
    if (replyTo) {
        m_header.replaceField("Reply-To", v.getString());
        return;
    }
    m_from = std::move(a);
    m_header.replaceField("From", v.getString());
    if (!m_header.hasField("return-path"))
        m_header.replaceField("Return-Path", m_from->address().getString());
}

void Email2::setFrom(const char* text) {
    setSenderFromParsed(text, false);
}
void Email2::setReplyTo(const char* text) {
    setSenderFromParsed(text, true);
}

void Email2::getFromAddress(StringBuffer& out) const {
    out.clear();
    if (m_from) out.append(m_from->address());
}

void Email2::getSubject(StringBuffer& out) const {
    out.clear();
    m_header.getField("Subject", out);
}

void Email2::getEnvelopeFrom(StringBuffer& out) const {
    out.clear();
    StringBuffer v;
    if (m_header.getField("return-path", v)) {
        stripAngles(v);
        if (!v.isEmpty()) {
            out.append(v);
            return;
        }
    }
    if (m_from) {
        v.setString(m_from->address().getString());
        stripAngles(v);
        if (!v.isEmpty()) {
            out.append(v);
            return;
        }
    }
    if (m_header.getField("from", v)) {
        LogNull log;
        if (std::unique_ptr<Rfc822Address> a{Rfc822Address::parseAddress(v.getString(), log)}) {
            v.setString(a->address().getString());
            stripAngles(v);
            if (!v.isEmpty()) {
                out.append(v);
                return;
            }
        }
    }
    if (m_header.getField("reply-to", v)) {
        stripAngles(v);
        out.append(v);
    }
}

// ---------------------------------------------------------------- identifiers

void Email2::seedIdsForTesting(uint32_t seed) {
    IdSource& s = idSource();
    std::lock_guard<std::mutex> hold(s.lock);
    s.seeded = seed != 0;
    if (seed != 0) s.gen.seed(seed);
}

void Email2::generateGuid(StringBuffer& out) {
    static const char kHex[] = "0123456789abcdef";
    char hex[33];
    for (int w = 0; w < 4; ++w) {
        uint32_t r = random32();
        for (int k = 0; k < 8; ++k) hex[w * 8 + k] = kHex[(r >> (28 - 4 * k)) & 15];
    }
    out.append(hex, 8);
    out.append("-");
    out.append(hex + 8, 4);
    out.append("-");
    out.append(hex + 12, 4);
    out.append("-");
    out.append(hex + 16, 4);
    out.append("-");
    out.append(hex + 20, 12);
}

void Email2::generateMessageId() {
    StringBuffer id("<BRENVIK-MID-");
    generateGuid(id);
    id.append("@");
    std::string host;
    int err = 0;
    if (!platform::localHostName(host, err) || host.empty()) host = "unknown";
    id.append(host.c_str());
    id.append(">");
    m_header.replaceField("Message-ID", id.getString());
}

void Email2::generateBoundary(StringBuffer& out) {
    StringBuffer g;
    generateGuid(g);
    const char* s = g.getString();
    out.append("-----_brenvik_");
    out.append(s, 3);
    out.append("_");
    out.append(s + 3, 4);
    out.append("_");
    out.append(s + 9, 4);
    out.append(s + 14, 4);
    out.append(".");
    out.append(s + 24, 8);
}
