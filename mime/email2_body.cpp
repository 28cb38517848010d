// Where plain bodies, HTML bodies and attachments go in the e-mail tree,
// and when a node turns into (or is wrapped in) a multipart container.
#include <cstring>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime/html_help.h"
#include "mime/mime_text.h"
#include "mime/mime_types.h"
#include "platform/files.h"
#include "text/ascii.h"
#include "text/charset_choice.h"
#include "text/encoding_convert.h"

using mimetext::beginsWithNoCase;
using mimetext::containsNoCase;
using mimetext::equalsNoCase;
using text::all7bit;

namespace {

Charset charsetFor(unsigned codePage) {
    Charset cs;
    cs.setByCodePage(codePage);
    return cs;
}

bool hasCharset(const Charset& cs) {
    return cs.getCodePage() != 0 || cs.getNameSb().length() > 0;
}

}  // namespace

// ---------------------------------------------------------------- bodies

void Email2::chooseBodyCharset(const void* utf8, uint32_t n) {
    if (hasCharset(m_charset) || all7bit(utf8, n)) return;
    unsigned chosen = 0;
    unsigned preferred = m_header.codePage();
    if (preferred) {
        if (charsetCarriesText(preferred, utf8, n)) chosen = preferred;
    } else if (charsetCarriesText(28591, utf8, n)) {
        chosen = 28591;
    } else if (charsetCarriesText(28592, utf8, n)) {
        chosen = 28592;
    }
    if (!chosen) chosen = cp::Utf8;
    setCharset(charsetFor(chosen));
}

void Email2::setBody(const void* utf8, uint32_t n, bool isHtml) {
    setBodyIn(utf8, n, isHtml, this);
}

void Email2::setBodyIn(const void* utf8, uint32_t n, bool isHtml, Email2* root) {
    chooseBodyCharset(utf8, n);
    if (m_contentType.equalsIgnoreCase("multipart/related") ||
        m_contentType.equalsIgnoreCase("multipart/mixed")) {
        if (numParts()) getPart(0)->setBodyIn(utf8, n, isHtml, root);
        return;
    }
    if (m_contentType.equalsIgnoreCase("multipart/alternative")) {
        std::unique_ptr<Email2> part = createInnerPart();
        if (!isHtml) {
            part->setBodyIn(utf8, n, false, part.get());
            part->m_formatFlowed = 1;
            part->setContentType({.type = "text/plain"});
        } else {
            part->setHtmlBodyIn(utf8, n, part.get());
            part->setContentType({.type = "text/html", .charset = &m_charset});
            part->encodingForCodePage(m_charset.getCodePage());
        }
        root->addAlternativeIn(std::move(part), root);
        return;
    }
    if (numParts() == 0) {
        setContentTransferEncoding("quoted-printable");
        m_body.clear();
        m_body.append(utf8, n);
        return;
    }
    for (uint32_t i = 0; i < numParts(); ++i) {
        Email2* p = getPart(i);
        if (p->numParts() == 0) {
            p->m_body.clear();
            p->m_body.append(utf8, n);
            return;
        }
    }
    std::unique_ptr<Email2> part = createInnerPart();
    part->setBodyIn(utf8, n, isHtml, root);
    part->setContentTransferEncoding("quoted-printable");
    m_parts.insertOwned(0, std::move(part));
}

void Email2::setHtmlBody(const void* utf8, uint32_t n, LogBase& /*log*/) {
    setHtmlBodyIn(utf8, n, this);
}

void Email2::setHtmlBodyIn(const void* utf8, uint32_t n, Email2* root) {
    StringBuffer html;
    html.append(utf8, n);
    HtmlHelp::ensureSkeleton(html);
    StringBuffer declared;
    HtmlHelp::readMetaCharset(html.getString(), declared);
    if (declared.isEmpty())
        HtmlHelp::insertMetaCharset(html,
                                    m_charset.getNameSb().length() ? m_charset.getName() : "utf-8");

    setBodyIn(html.getString(), html.length(), true, root);

    if (m_contentType.equalsIgnoreCase("multipart/related") && numParts() &&
        !getPart(0)->isMultipart() && getPart(0)->isContentType("text")) {
        m_type.setString("text/html");
        rewriteContentType();
    }
    Email2* leaf = this;
    while (leaf->isMultipart() && leaf->numParts()) leaf = leaf->getPart(0);
    if (leaf->isMultipart() || leaf->m_body.size() != html.length()) return;
    ContentTypeFields fields = leaf->contentTypeFields();
    fields.type = "text/html";
    leaf->setContentType(fields);
    if (m_charset.getCodePage())
        leaf->encodingForCodePage(m_charset.getCodePage());
    else
        leaf->setContentTransferEncoding("quoted-printable");
}

void Email2::encodingForCodePage(unsigned codePage) {
    setContentTransferEncoding(codePage == cp::UsAscii ? "7bit" : "quoted-printable");
}

void Email2::setCharset(const Charset& charset) {
    m_charset = charset;
    rewriteContentType();
}

void Email2::setHtmlCharset(const Charset& charset) {
    unsigned cp = charset.getCodePage();
    if (!cp) return;
    Email2* part = findHtmlPart();
    if (!part) return;
    if (part->m_charset.getCodePage() != cp && cp != cp::Utf16LE && cp != cp::Utf16BE) {
        StringBuffer html;
        html.append(part->m_body.data(), part->m_body.size());
        HtmlHelp::removeMetaCharset(html);
        HtmlHelp::insertMetaCharset(html, charset.getName());
        part->m_body.clear();
        part->m_body.append(html.getString(), html.length());
    }
    part->setCharset(charset);
    part->encodingForCodePage(cp);
}

// ---------------------------------------------------------------- alternatives and containers

void Email2::takeContentFrom(Email2& from, bool takeParts) {
    m_formatFlowed = from.m_formatFlowed;
    if (hasCharset(from.m_charset)) m_charset = from.m_charset;
    ContentTypeFields fields = from.contentTypeFields();
    if (from.m_contentType.isEmpty()) fields.type = "text/plain";
    setContentType(fields);
    if (from.m_transferEncoding.isEmpty())
        removeHeaderField("Content-Transfer-Encoding");
    else
        setContentTransferEncoding(from.m_transferEncoding.getString());
    if (takeParts) {
        while (from.numParts())
            m_parts.appendOwned(std::unique_ptr<BrenvikObject>(from.m_parts.removeAt(0)));
    } else {
        m_body = from.m_body;
        from.m_body.clear();
    }
}

void Email2::addAlternative(std::unique_ptr<Email2> part) {
    addAlternativeIn(std::move(part), this);
}

void Email2::addAlternativeIn(std::unique_ptr<Email2> part, Email2* root) {
    if (!part) return;
    Email2* node = root;
    if (node->m_contentType.equalsIgnoreCase("multipart/mixed") && node->numParts())
        node = node->getPart(0);
    if (node->m_contentType.equalsIgnoreCase("multipart/related")) {
        node->m_type.setString("multipart/alternative");
        node->rewriteContentType();
        if (node->numParts()) node = node->getPart(0);
    }
    if (!node->m_contentType.equalsIgnoreCase("multipart/alternative")) {
        node = node->convertToAlternative();
        if (node->m_contentType.equalsIgnoreCase("multipart/related") && node->numParts())
            node = node->getPart(0);
    }
    for (uint32_t i = 0; i < node->numParts(); ++i) {
        Email2* same = node->getPart(i);
        if (!same->m_contentType.equalsIgnoreCase(part->m_contentType.getString())) continue;
        same->setBodyIn(part->m_body.data(), part->m_body.size(), false, root);
        same->m_formatFlowed = 1;
        same->rewriteContentType();
        return;
    }
    if (part->isContentType("text/plain"))
        node->m_parts.insertOwned(0, std::move(part));
    else
        node->m_parts.appendOwned(std::move(part));
}

Email2* Email2::convertToAlternative() {
    Email2* node = this;
    if ((m_contentType.equalsIgnoreCase("multipart/related") ||
         m_contentType.equalsIgnoreCase("multipart/mixed")) &&
        numParts())
        node = getPart(0);
    std::unique_ptr<Email2> part = createInnerPart();
    part->takeContentFrom(*node, false);
    if (!node->m_parts.appendOwned(std::move(part))) return node;
    StringBuffer boundary;
    generateBoundary(boundary);
    boundary.append("_.ALT");
    node->setContentType({.type = "multipart/alternative", .boundary = boundary.getString()});
    node->removeHeaderField("Content-Transfer-Encoding");
    return node;
}

void Email2::convertToMixed() {
    Email2* node = this;
    if (m_contentType.equalsIgnoreCase("multipart/related") && numParts()) node = getPart(0);
    std::unique_ptr<Email2> part = createInnerPart();
    part->takeContentFrom(*node, node->isMultipart());
    if (!node->m_parts.appendOwned(std::move(part))) return;
    StringBuffer boundary;
    generateBoundary(boundary);
    boundary.append("_.MIX");
    node->setContentType({.type = "multipart/mixed", .boundary = boundary.getString()});
    node->removeHeaderField("Content-Transfer-Encoding");
}

void Email2::wrapRelatedInMixed() {
    std::unique_ptr<Email2> related = createInnerPart();
    while (numParts())
        related->m_parts.appendOwned(std::unique_ptr<BrenvikObject>(m_parts.removeAt(0)));
    StringBuffer boundary;
    generateBoundary(boundary);
    boundary.append("_.REL");
    related->setContentType({.type = "multipart/related",
                             .boundary = boundary.getString(),
                             .typeParam = m_type.getString()});
    related->removeHeaderField("Content-Transfer-Encoding");

    boundary.clear();
    generateBoundary(boundary);
    boundary.append("_.MIX");
    setContentType({.type = "multipart/mixed", .boundary = boundary.getString()});
    m_parts.insertOwned(0, std::move(related));
}

// ---------------------------------------------------------------- attachments

bool Email2::addFileAttachment(const char* path, const char* contentType, StringBuffer& chosenType,
                               LogBase& log) {
    chosenType.clear();
    std::unique_ptr<StringBuffer> data(StringBuffer::createFromFile(path, log));
    if (!data) {
        // The reader says what failed; the system says why.
        platform::File probe;
        if (!probe.openRead(path)) log.LogWindowsError(static_cast<uint32_t>(probe.lastError()));
        return false;
    }

    StringBuffer p(path ? path : "");
    StringBuffer filename;
    int slash = -1;
    for (int i = static_cast<int>(p.length()) - 1; i >= 0 && slash < 0; --i) {
        if (p.charAt(static_cast<uint32_t>(i)) == '/') slash = i;
    }
    if (slash < 0) {
        for (int i = static_cast<int>(p.length()) - 1; i >= 0 && slash < 0; --i) {
            if (p.charAt(static_cast<uint32_t>(i)) == '\\') slash = i;
        }
    }
    filename.append(p.getString() + slash + 1);

    StringBuffer type;
    if (contentType && *contentType) {
        type.append(contentType);
    } else {
        int dot = -1;
        for (uint32_t i = 0; i < filename.length(); ++i) {
            if (filename.charAt(i) == '.') dot = static_cast<int>(i);
        }
        if (dot >= 0) {
            StringBuffer ext(filename.getString() + dot + 1);
            ext.toLowerCase();
            const char* found = contentTypeForExtension(ext.getString());
            if (found) type.append(found);
        }
    }
    type.trim();
    // A message/* part may only travel as 7bit or 8bit text (RFC 2046), which
    // the bytes of an arbitrary file (.mht and the like) do not survive: such
    // files go as plain bytes in base64, their name telling readers the kind.
    if (type.isEmpty() || beginsWithNoCase(type.getString(), "message/"))
        type.setString("application/octet-stream");

    std::unique_ptr<Email2> part = createInnerPart();
    // A text file says its charset where its bytes show it (ASCII, or valid
    // UTF-8), so that a reader showing it inline reads it right; other bytes
    // are in an encoding nobody told us, and go without one.
    Charset fileCharset;
    if (beginsWithNoCase(type.getString(), "text/") && !std::strchr(type.getString(), ';')) {
        if (all7bit(data->getString(), data->length()))
            fileCharset.setByCodePage(cp::UsAscii);
        else if (text::isValidUtf8(data->getString(), data->length()))
            fileCharset.setByCodePage(cp::Utf8);
    }
    part->setContentType({.type = type.getString(),
                          .name = filename.getString(),
                          .charset = fileCharset.getCodePage() ? &fileCharset : nullptr});
    part->setContentTransferEncoding(beginsWithNoCase(type.getString(), "text") ? "quoted-printable"
                                                                                : "base64");
    part->setContentDisposition("attachment", filename.getString());
    // The file's bytes move into the part: a large attachment is not copied.
    uint32_t length = 0, capacity = 0;
    if (char* block = data->releaseBlock(length, capacity))
        part->m_body.takeOver(block, length, capacity);
    data.reset();

    if (!m_contentType.equalsIgnoreCase("multipart/mixed")) {
        if (m_contentType.equalsIgnoreCase("multipart/related"))
            wrapRelatedInMixed();
        else
            convertToMixed();
    }
    if (!m_parts.appendOwned(std::move(part))) return false;
    chosenType.append(type);
    return true;
}

// ---------------------------------------------------------------- finding the bodies

void Email2::collectBodyParts(ExtPtrArray& found, bool isRoot) {
    auto isTextBody = [](const Email2* e) {
        return !e->isAttachment(false) && e->isContentType("text/");
    };
    if (isRoot && m_contentType.isEmpty() && m_disposition.isEmpty()) {
        found.append(this);
        return;
    }
    if (m_contentType.equalsIgnoreCase("multipart/mixed")) {
        for (uint32_t i = 0; i < numParts(); ++i) {
            if (getPart(i)->m_contentType.equalsIgnoreCase("multipart/alternative"))
                getPart(i)->collectBodyParts(found, false);
        }
        for (uint32_t i = 0; i < numParts(); ++i) {
            Email2* p = getPart(i);
            if (p->m_contentType.equalsIgnoreCase("multipart/related") ||
                p->m_contentType.equalsIgnoreCase("multipart/mixed"))
                p->collectBodyParts(found, false);
        }
        // The text a body was set on before the first attachment made the
        // message mixed.
        for (uint32_t i = 0; i < numParts(); ++i) {
            Email2* p = getPart(i);
            if (!p->isMultipart() && isTextBody(p)) found.append(p);
        }
        return;
    }
    if (m_contentType.equalsIgnoreCase("multipart/alternative") ||
        m_contentType.equalsIgnoreCase("multipart/related")) {
        for (uint32_t i = 0; i < numParts(); ++i) {
            Email2* p = getPart(i);
            if (p->m_contentType.equalsIgnoreCase("multipart/alternative") ||
                p->m_contentType.equalsIgnoreCase("multipart/related"))
                p->collectBodyParts(found, false);
            else if (isTextBody(p))
                found.append(p);
        }
        return;
    }
    if (m_contentType.equalsIgnoreCase("multipart/signed")) {
        for (uint32_t i = 0; i < numParts(); ++i) {
            if (!containsNoCase(getPart(i)->m_contentType.getString(), "pkcs7")) {
                getPart(i)->collectBodyParts(found, false);
                break;
            }
        }
        return;
    }
    if (numParts() == 0 && isTextBody(this)) found.append(this);
}

Email2* Email2::findBodyPart(const char* type) {
    ExtPtrArray found;  // borrowed pointers
    collectBodyParts(found, true);
    Email2* result = nullptr;
    for (uint32_t i = 0; i < found.count() && !result; ++i) {
        Email2* e = found.at<Email2>(i);
        if (e->m_contentType.equalsIgnoreCase(type)) result = e;
    }
    found.truncateNoDelete();
    return result;
}

Email2* Email2::findHtmlPart() {
    return findBodyPart("text/html");
}
Email2* Email2::findPlainPart() {
    return findBodyPart("text/plain");
}
