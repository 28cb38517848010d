// The sender's display name, set apart from its address.
#include "mime/email2.h"
#include "mime/rfc822_address.h"

void Email2::setFromName(const char* name) {
    m_fromName.setString(name ? name : "");
    if (!m_from) return;
    m_from->setName(m_fromName.getString());
    StringBuffer v;
    m_from->format(v);
    m_header.replaceField("From", v.getString());
}
