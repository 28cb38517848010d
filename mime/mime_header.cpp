#include "mime/mime_header.h"

#include "mime/content_coding.h"
#include "mime/mime_text.h"

void MimeField::set(const char* name, const char* value) {
    m_name.setString(name ? name : "");
    const char* v = value ? value : "";
    if (mimetext::containsNoCase(v, "?Q?") || mimetext::containsNoCase(v, "?B?")) {
        StringBuffer decoded;
        ContentCoding::decodeEncodedWords(v, decoded);
        m_value.setString(decoded.getString(), decoded.length());
    } else {
        m_value.setString(v);
    }
    if (m_value.findChar('\n') >= 0) {
        m_value.replaceAll("\r\n\t", "");
        m_value.replaceAll("\r\n ", "");
    }
    m_noFold = (m_name.equalsIgnoreCase("user-agent") || m_name.equalsIgnoreCase("accept") ||
                m_name.equalsIgnoreCase("accept-charset"))
                   ? 1
                   : 0;
}

MimeHeader::~MimeHeader() { clear(); }

void MimeHeader::clear() {
    m_fields.deleteAll();
    m_codePage = 0;
}

bool MimeHeader::getField(const char* name, StringBuffer& out) const {
    for (uint32_t i = 0; i < m_fields.count(); ++i) {
        const MimeField* f = m_fields.at<MimeField>(i);
        if (f && f->name().equalsIgnoreCase(name)) {
            out.setString(f->value().getString(), f->value().length());
            return true;
        }
    }
    return false;
}

bool MimeHeader::hasField(const char* name) const {
    for (uint32_t i = 0; i < m_fields.count(); ++i) {
        const MimeField* f = m_fields.at<MimeField>(i);
        if (f && f->name().equalsIgnoreCase(name)) return true;
    }
    return false;
}

void MimeHeader::removeField(const char* name) {
    for (uint32_t i = m_fields.count(); i-- > 0;) {
        MimeField* f = m_fields.at<MimeField>(i);
        if (f && f->name().equalsIgnoreCase(name)) delete m_fields.removeAt(i);
    }
}

void MimeHeader::replaceField(const char* name, const char* value) {
    removeField(name);
    StringBuffer trimmed(value ? value : "");
    trimmed.trim();
    if (trimmed.isEmpty()) return;
    addField(name, value);
}

void MimeHeader::addField(const char* name, const char* value) {
    MimeField* f = new MimeField;
    f->set(name, value);
    if (!m_fields.append(f)) delete f;
}

void MimeHeader::mergeFields(const char* name) {
    MimeField* first = nullptr;
    StringBuffer joined;
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_fields.count(); ++i) {
        MimeField* f = m_fields.at<MimeField>(i);
        if (!f || !f->name().equalsIgnoreCase(name)) continue;
        if (count++) joined.append(",");
        joined.append(f->value());
        if (!first) first = f;
    }
    if (count < 2) return;
    for (uint32_t i = m_fields.count(); i-- > 0;) {
        MimeField* f = m_fields.at<MimeField>(i);
        if (f && f != first && f->name().equalsIgnoreCase(name)) delete m_fields.removeAt(i);
    }
    first->setValue(joined.getString());
}

void MimeHeader::takeFields(MimeHeader& from) {
    for (uint32_t i = 0; i < from.m_fields.count(); ++i) {
        BrenvikObject* f = from.m_fields.getAt(i);
        if (!m_fields.append(f)) delete f;
    }
    from.m_fields.truncateNoDelete();
}
