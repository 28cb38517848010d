#include "mime/mime_header.h"

#include <cstring>
#include <functional>
#include <initializer_list>

#include "mime/content_coding.h"
#include "mime/mime_text.h"

namespace {

MimeField::Kind kindOf(const StringBuffer& name) {
    using Kind = MimeField::Kind;
    for (const char* n : {"to", "cc", "bcc", "from", "reply-to", "sender"}) {
        if (name.equalsIgnoreCase(n)) return Kind::Address;
    }
    if (name.equalsIgnoreCase("content-type") || name.equalsIgnoreCase("content-disposition"))
        return Kind::Parameters;
    if (name.equalsIgnoreCase("received") || name.equalsIgnoreCase("content-transfer-encoding"))
        return Kind::Verbatim;
    return Kind::Unstructured;
}

// The same as finding "?Q?" or "?B?" in any case, in one pass: the mark of
// an encoded word somewhere in the value.
bool mayHoldEncodedWords(const char* v) {
    // A plain loop: under AddressSanitizer's strict string checks every
    // strchr from a '?' reads the rest of a long value again.
    for (const char* q = v; *q; ++q) {
        if (*q != '?') continue;
        const char c = q[1];
        if ((c == 'q' || c == 'Q' || c == 'b' || c == 'B') && q[2] == '?') return true;
    }
    return false;
}

// True when text points into buffer's bytes.
bool pointsInto(const char* text, const StringBuffer& buffer) {
    const std::less_equal<const char*> notAfter;
    const char* start = buffer.getString();
    return notAfter(start, text) && notAfter(text, start + buffer.length());
}

}  // namespace

void MimeField::setDecodedValue(const char* v) {
    StringBuffer text;
    if (mayHoldEncodedWords(v)) {
        if (m_kind == Kind::Address || m_kind == Kind::Parameters)
            ContentCoding::decodeStructured(v, text);
        else
            ContentCoding::decodeEncodedWords(v, text);
    } else {
        text.setString(v);
    }
    if (text.findChar('\n') >= 0) {
        text.replaceAll("\r\n\t", "");
        text.replaceAll("\r\n ", "");
    }
    const char* t = text.getString();
    uint32_t start = 0;
    for (uint32_t i = 0; i < text.length(); ++i) {
        if (t[i] != '\r' && t[i] != '\n' && t[i] != '\0') continue;
        m_value.append(t + start, i - start);
        start = i + 1;
    }
    m_value.append(t + start, text.length() - start);
}

void MimeField::set(const char* name, const char* value) {
    // Either may be this field's own text (setValue, mergeFields): only then
    // is it copied before the field is cleared.
    if (!name) name = "";
    if (!value) value = "";
    StringBuffer nameCopy, valueCopy;
    if (pointsInto(name, m_name) || pointsInto(name, m_value)) {
        nameCopy.setString(name);
        name = nameCopy.getString();
    }
    if (pointsInto(value, m_name) || pointsInto(value, m_value)) {
        valueCopy.setString(value);
        value = valueCopy.getString();
    }
    // A name with any character a field name may not have (a blank, a
    // colon, a line break) stays empty: such a field is never written.
    m_name.clear();
    bool validName = true;
    for (const char* c = name; *c; ++c) {
        unsigned char b = static_cast<unsigned char>(*c);
        if (b <= 32 || b >= 127 || b == ':') validName = false;
    }
    if (validName) m_name.append(name);
    m_kind = kindOf(m_name);
    m_value.clear();
    if (!mayHoldEncodedWords(value) && !std::strpbrk(value, "\r\n")) {
        m_value.append(value);  // the common case: nothing to decode or unfold
    } else {
        setDecodedValue(value);
    }
    m_noFold = (m_name.equalsIgnoreCase("user-agent") || m_name.equalsIgnoreCase("accept") ||
                m_name.equalsIgnoreCase("accept-charset"))
                   ? 1
                   : 0;
}

MimeHeader::~MimeHeader() {
    clear();
}

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

bool MimeHeader::setFieldValue(const char* name, const char* value) {
    for (uint32_t i = 0; i < m_fields.count(); ++i) {
        MimeField* f = m_fields.at<MimeField>(i);
        if (f && f->name().equalsIgnoreCase(name)) {
            f->setValue(value);
            return true;
        }
    }
    return false;
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

void MimeHeader::copyFrom(const MimeHeader& from) {
    clear();
    for (uint32_t i = 0; i < from.m_fields.count(); ++i) {
        auto* copy = new MimeField(*from.m_fields.at<MimeField>(i));
        if (!m_fields.append(copy)) delete copy;
    }
    m_codePage = from.m_codePage;
}

void MimeHeader::takeFields(MimeHeader& from) {
    for (uint32_t i = 0; i < from.m_fields.count(); ++i) {
        BrenvikObject* f = from.m_fields.getAt(i);
        if (!m_fields.append(f)) delete f;
    }
    from.m_fields.truncateNoDelete();
}
