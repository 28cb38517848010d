// The copy of a message that a send works on: every field, recipient and
// part of its own, the body bytes borrowed from the original.
#include "mime/email2.h"
#include "mime/mime_message.h"
#include "text/memory.h"

namespace {

void copyAddresses(const ExtPtrArray& from, ExtPtrArray& to) {
    for (uint32_t i = 0; i < from.count(); ++i)
        to.appendOwned(std::make_unique<Rfc822Address>(*from.at<Rfc822Address>(i)));
}

}  // namespace

std::unique_ptr<Email2> Email2::clone(LogBase&) const {
    const uint64_t failures = text::failedAllocations();
    std::unique_ptr<Email2> copy = copyNode(0);
    copy->m_sendCopy = true;
    copy->m_failuresBefore = failures;
    return copy;
}

std::unique_ptr<Email2> Email2::copyNode(int depth) const {
    std::unique_ptr<Email2> e(new Email2);
    // Read-only while the copy lives; a change to it (a charset conversion
    // on the way out) makes the copy's own bytes first.
    e->m_body.borrow(m_body.data(), m_body.size());
    e->m_header.copyFrom(m_header);
    for (uint32_t i = 0; depth < MimeMessage2::kMaxDepth && i < numParts(); ++i)
        e->m_parts.appendOwned(getPart(i)->copyNode(depth + 1));
    copyAddresses(m_to, e->m_to);
    copyAddresses(m_cc, e->m_cc);
    copyAddresses(m_bcc, e->m_bcc);
    e->m_fromName = m_fromName;
    if (m_from) e->m_from = std::make_unique<Rfc822Address>(*m_from);
    // Every other member, in the order of their declaration.
    e->m_date = m_date;
    e->m_contentType = m_contentType;
    e->m_disposition = m_disposition;
    e->m_transferEncoding = m_transferEncoding;
    e->m_name = m_name;
    e->m_protocol = m_protocol;
    e->m_micalg = m_micalg;
    e->m_contentId = m_contentId;
    e->m_charset = m_charset;
    e->m_boundary = m_boundary;
    e->m_smimeType = m_smimeType;
    e->m_filename = m_filename;
    e->m_type = m_type;
    e->m_formatFlowed = m_formatFlowed;
    e->m_charsetName = m_charsetName;
    return e;
}
