// The MIME text of an e-mail tree: what goes out after DATA.
#include <cstring>

#include "diag/log_base.h"
#include "mime/content_coding.h"
#include "mime/email2.h"
#include "mime/html_help.h"
#include "mime/mime_message.h"
#include "mime/mime_output.h"
#include "mime/mime_text.h"
#include "platform/code_pages.h"
#include "text/ascii.h"
#include "text/charset_choice.h"
#include "text/encoding_convert.h"
#include "text/memory.h"

using mimetext::containsNoCase;
using text::all7bit;

namespace {

constexpr uint32_t kStreamPiece = 64 * 1024;
constexpr const char* kPreamble = "This is a multi-part message in MIME format.\r\n\r\n";

// Hands what has collected in scratch to the stream and empties it.
bool flush(MimeOutput* stream, StringBuffer& scratch) {
    if (!stream) return true;
    const char* s = scratch.getString();
    uint32_t n = scratch.length();
    bool ok = true;
    for (uint32_t at = 0; at < n && ok; at += kStreamPiece) {
        uint32_t k = n - at < kStreamPiece ? n - at : kStreamPiece;
        ok = stream->writeBytes(s + at, k);
    }
    scratch.clear();
    return ok;
}

// The way out to a stream: no piece goes once an allocation of the engine
// failed since the rendering began (text made then may be short, and an
// append's result is not looked at everywhere), and a stream that refused
// is told from memory that ran out.
class WatchedOutput : public MimeOutput {
  public:
    WatchedOutput(MimeOutput* to, uint64_t failures) : m_to(to), m_failures(failures) {}
    bool writeBytes(const void* bytes, uint32_t n) override {
        if (!intact()) return false;
        if (m_to->writeBytes(bytes, n)) return true;
        m_refused = true;
        return false;
    }
    bool intact() const { return text::failedAllocations() == m_failures; }
    bool refused() const { return m_refused; }

  private:
    MimeOutput* m_to;
    const uint64_t m_failures;
    bool m_refused = false;
};

// Rough size of the text, so the output grows once instead of many times.
uint64_t estimate(const Email2& e, int depth) {
    uint64_t n = 1024 + static_cast<uint64_t>(e.body().size()) * 4 / 3 + e.body().size() / 36;
    if (depth < 64) {
        for (uint32_t i = 0; i < e.numParts(); ++i) n += estimate(*e.getPart(i), depth + 1);
    }
    return n;
}

// RFC 2046: 1 to 70 of these characters, not ending in a blank.
bool usableBoundary(const StringBuffer& b) {
    static const char kOther[] = "'()+_,-./:=? ";
    const uint32_t n = b.length();
    if (n == 0 || n > 70 || b.charAt(n - 1) == ' ') return false;
    for (uint32_t i = 0; i < n; ++i) {
        const char c = b.charAt(i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              std::strchr(kOther, c)))
            return false;
    }
    return true;
}

// Whether "--" and the boundary occur in the body of any part below: once
// line ends are made CR LF such a line would end the part early.
bool boundaryInBodies(Email2& node, const StringBuffer& boundary, int depth) {
    if (depth > MimeMessage2::kMaxDepth) return false;
    StringBuffer needle("--");
    needle.append(boundary);
    for (uint32_t i = 0; i < node.numParts(); ++i) {
        Email2* part = node.getPart(i);
        const DataBuffer& body = part->body();
        const uint32_t n = needle.length();
        const unsigned char* p = body.data();
        for (uint32_t at = 0; body.size() >= n && at <= body.size() - n; ++at)
            if (p[at] == '-' && std::memcmp(p + at, needle.getString(), n) == 0) return true;
        if (boundaryInBodies(*part, boundary, depth + 1)) return true;
    }
    return false;
}

}  // namespace

uint64_t Email2::estimatedTextSize() const {
    return estimate(*this, 0);
}

bool Email2::assembleMime(StringBuffer& out, MimeOutput* stream, const char* omitPrefix,
                          LogBase& log) {
    StringBuffer scratch;
    StringBuffer& target = stream ? scratch : out;
    WatchedOutput watched(stream, m_sendCopy ? m_failuresBefore : text::failedAllocations());
    if (!stream) {
        uint64_t want = estimate(*this, 0);
        if (want < 0x7FFFFFFFu) out.reserveMore(static_cast<uint32_t>(want));
    }
    // Charsets are settled first: the message header is written for the
    // charset of its text parts.
    labelTextLeaves();
    bool ok =
        assembleNode(*this, target, stream ? &watched : nullptr, omitPrefix, 0) && watched.intact();
    if (!ok && watched.refused())
        log.LogError("Failed to write the MIME text to the output stream.");
    else if (!ok)
        log.LogError("Memory ran out while the MIME text was made: it is not sent.");
    return ok;
}

bool Email2::assembleNode(Email2& root, StringBuffer& out, MimeOutput* stream,
                          const char* omitPrefix, int depth) {
    Charset cs;
    effectiveCharset(root, depth, cs);
    if (m_contentType.equalsIgnoreCase("multipart/alternative"))
        removeHeaderField("Content-Transfer-Encoding");

    unsigned headerCp = cs.getCodePage() ? cs.getCodePage() : m_header.codePage();
    uint32_t before = out.length();
    if (!m_header.writeHeader(out, omitPrefix, headerCp)) return false;
    // A part without fields is only the empty line, so it reads back the same.
    if (!out.append(out.length() == before ? "\r\n" : "\r\n\r\n")) return false;

    if (numParts() == 0) {
        if (!flush(stream, out)) return false;
        if (stream && m_transferEncoding.equalsIgnoreCase("base64"))
            return streamBase64(out, stream);
        return writeBody(out) && flush(stream, out);
    }
    if (!usableBoundary(m_boundary) || boundaryInBodies(*this, m_boundary, depth)) {
        // Parts need a boundary to be told apart; one read from a message
        // that had none, or one that readers would not find as written (a
        // control or 8-bit byte, or the same text inside a part), gets a
        // fresh one.
        StringBuffer b;
        generateBoundary(b);
        if (!b.append("_.MIX") || !m_boundary.setString(b.getString())) return false;
        rewriteContentType();
        out.truncate(before);
        if (!m_header.writeHeader(out, omitPrefix, headerCp) || !out.append("\r\n\r\n"))
            return false;
    }
    if (!out.append(kPreamble)) return false;
    for (uint32_t i = 0; i < numParts(); ++i) {
        if (!out.append("--") || !out.append(m_boundary) || !out.append("\r\n")) return false;
        if (!flush(stream, out)) return false;
        if (!getPart(i)->assembleNode(root, out, stream, omitPrefix, depth + 1)) return false;
        if (!out.append("\r\n")) return false;
    }
    if (!out.append("--") || !out.append(m_boundary) || !out.append("--\r\n")) return false;
    return flush(stream, out);
}

void Email2::effectiveCharset(Email2& root, int depth, Charset& cs) {
    cs = root.m_charset;
    if (!cs.getCodePage() && depth == 0) {
        Email2* html = root.findHtmlPart();
        if (html && html->m_charset.getCodePage()) {
            cs = html->m_charset;
        } else {
            Email2* plain = root.findPlainPart();
            if (plain && plain->m_charset.getCodePage()) cs = plain->m_charset;
        }
    }
    if (!cs.getCodePage() && depth > 0) cs = m_charset;
    if (!cs.getCodePage() && !m_charsetName.isEmpty()) cs.setByName(m_charsetName.getString());
    // An attachment's header follows its charset, unless that is us-ascii,
    // which says what the file's bytes are and cannot carry a file name.
    if (m_charset.getCodePage() && m_charset.getCodePage() != cp::UsAscii && isAttachment(false))
        cs = m_charset;
}

void Email2::labelTextLeaves() {
    labelTextLeaf();
    for (uint32_t i = 0; i < numParts(); ++i) getPart(i)->labelTextLeaves();
}

// Text goes out in a charset that carries all of it, and says which. A
// charset that cannot (the host's, or one chosen for other text) gives way
// to utf-8 rather than lose characters. 8-bit text without a charset is
// taken as UTF-8 when it is valid UTF-8, else as Latin-1, and labelled
// iso-8859-1 when that carries it, else utf-8.
void Email2::labelTextLeaf() {
    if (numParts() || m_disposition.equalsIgnoreCase("attachment")) return;
    if (!m_contentType.isEmpty() && !containsNoCase(m_contentType.getString(), "text/")) return;
    const unsigned char* p = m_body.data();
    uint32_t n = m_body.size();
    unsigned cp = m_charset.getCodePage();
    Charset chosen;
    if (cp) {
        if (!isContentType("text/") || charsetCarriesText(cp, p, n)) {
            chosen = m_charset;
        } else {
            chosen.setByCodePage(cp::Utf8);
        }
    } else {
        if (all7bit(p, n) || std::memchr(p, 0, n)) return;
        if (!text::isValidUtf8(p, n)) {
            DataBuffer utf8;
            EncodingConvert().convert(cp::Latin1, cp::Utf8, p, n, utf8);
            if (utf8.size()) m_body = utf8;
        }
        chosen.setByCodePage(
            charsetCarriesText(cp::Latin1, m_body.data(), m_body.size()) ? cp::Latin1 : cp::Utf8);
    }
    if (chosen.getCodePage() != cp) setCharset(chosen);
    // 7bit is a promise about the bytes sent; 8-bit text needs an encoding.
    unsigned out = chosen.getCodePage();
    bool sevenBitForm = out == cp::Utf7 || (out >= 50220 && out <= 50222) || out == 50225;
    if ((m_transferEncoding.isEmpty() || m_transferEncoding.equalsIgnoreCase("7bit")) &&
        !sevenBitForm && !all7bit(m_body.data(), m_body.size()))
        setContentTransferEncoding("quoted-printable");
}

// A base64 body (an attachment, as a rule) goes to the stream a few whole
// lines at a time, so that its encoded form never exists at once.
bool Email2::streamBase64(StringBuffer& out, MimeOutput* stream) {
    if (isContentType("text/"))  // converted first: not worth splitting
        return writeBody(out) && flush(stream, out);
    ContentCoding coding;
    const uint32_t piece = coding.bytesPerLine() * 1024;
    const uint32_t n = m_body.size();
    for (uint32_t at = 0; at < n; at += piece) {
        const uint32_t k = n - at < piece ? n - at : piece;
        if (!coding.encodeBase64Lines(m_body.data() + at, k, out, at + k == n)) return false;
        if (!flush(stream, out)) return false;
    }
    return true;
}

bool Email2::writeBody(StringBuffer& out) {
    const DataBuffer* src = &m_body;
    DataBuffer converted;
    const bool attachment = m_disposition.equalsIgnoreCase("attachment");
    // A text body's line breaks (LF, CR or CR LF, whatever the host's
    // convention) are CR LF on the wire in every transfer encoding
    // (RFC 2045 6.7): made so before any conversion, while the text is
    // UTF-8. An attachment keeps its bytes.
    DataBuffer lines;
    if (!attachment && isContentType("text/") &&
        mimetext::hasBareLineBreak(src->data(), src->size())) {
        StringBuffer crlf;
        if (!mimetext::appendWithCrLf(crlf, src->data(), src->size()) ||
            !lines.append(crlf.getString(), crlf.length()))
            return false;
        src = &lines;
    }
    unsigned cp = m_charset.getCodePage();
    if (cp && isContentType("text/")) {
        if (cp != cp::Utf8) {
            unsigned target = cp == cp::UsAscii ? platform::ansiCodePage() : cp;
            EncodingConvert().convert(cp::Utf8, target, src->data(), src->size(), converted);
            src = &converted;
        }
        if (!attachment && isContentType("text/html") && cp != cp::Utf16LE && cp != cp::Utf16BE) {
            StringBuffer html;
            if (!html.append(src->data(), src->size())) return false;
            HtmlHelp::ensureSkeleton(html);
            StringBuffer declared;
            HtmlHelp::readMetaCharset(html.getString(), declared);
            declared.trim();
            if (!declared.isEmpty() && nameToCodePage(declared.getString()) != cp) {
                HtmlHelp::removeMetaCharset(html);
                HtmlHelp::insertMetaCharset(html, m_charset.getName());
            }
            converted.clear();
            if (!converted.append(html.getString(), html.length())) return false;
            src = &converted;
        }
    }
    if (m_transferEncoding.equalsIgnoreCase("base64"))
        return ContentCoding().encodeBase64Lines(src->data(), src->size(), out);
    if (m_transferEncoding.equalsIgnoreCase("quoted-printable"))
        return ContentCoding().encodeQuotedPrintable(src->data(), src->size(), out);
    if (m_transferEncoding.equalsIgnoreCase("binary")) return out.append(src->data(), src->size());
    return mimetext::appendWithCrLf(out, src->data(), src->size());
}
