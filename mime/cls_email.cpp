#include "mime/cls_email.h"

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime/html_help.h"
#include "text/ascii.h"
#include "text/charset.h"
#include "text/charset_choice.h"

namespace {

void trimBlanks(StringBuffer& s) {
    s.trim();
}  // spaces, tabs, CR and LF

bool has8bit(const StringBuffer& s) {
    return !s.is7bit();
}

void addressAt(const Email2* tree, int which, int i, StringBuffer& out) {
    out.clear();
    if (!tree || i < 0) return;
    const Rfc822Address* a = nullptr;
    uint32_t k = static_cast<uint32_t>(i);
    if (which == 0 && k < tree->numTo()) a = tree->getTo(k);
    if (which == 1 && k < tree->numCc()) a = tree->getCc(k);
    if (which == 2 && k < tree->numBcc()) a = tree->getBcc(k);
    if (a) out.append(a->address());
}

}  // namespace

ClsEmail::ClsEmail() : m_email(Email2::createNewEmail()) {}

ClsEmail::~ClsEmail() = default;

void ClsEmail::chooseCharset(XString& text) {
    if (!m_email || m_email->charset().getCodePage() != 0 || text.isEmpty()) return;
    // ASCII needs no charset, and is most text: spare it the UTF-16 copy.
    const StringBuffer& utf8 = text.getUtf8Sb();
    if (text::all7bit(utf8.getString(), utf8.length())) return;
    const DataBuffer& units = text.getUtf16Db();
    unsigned codePage = chooseCarryingCharset(text.getUtf16(), units.size() / 2);
    if (!codePage) return;
    Charset cs;
    cs.setByCodePage(codePage);
    m_email->setCharset(cs);
}

void ClsEmail::put_Subject(XString& subject) {
    if (!m_email) return;
    chooseCharset(subject);
    m_email->setHeaderField("Subject", subject.getUtf8());
}

void ClsEmail::put_Body(XString& body) {
    if (!m_email) return;
    chooseCharset(body);
    if (m_email->contentType().equalsIgnoreCase("text/html")) {
        ContentTypeFields fields = m_email->contentTypeFields();
        fields.type = "text/plain";
        m_email->setContentType(fields);
    }
    const StringBuffer& utf8 = body.getUtf8Sb();
    m_email->setBody(utf8.getString(), utf8.length(), false);
    m_plainGiven.setString(utf8.getString(), utf8.length());
    m_hasPlain = true;
    m_htmlLast = false;
}

void ClsEmail::SetHtmlBody(const char* html, bool utf8) {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, "SetHtmlBody");
    m_log.LogData("DllDate", kDllDate);
    if (!m_email) {
        m_log.LogError("No internal email object");
        return;
    }
    if (!html) {
        m_log.LogError("HTML string is NULL");
        return;
    }
    XString text;
    text.setFromSwitch(html, utf8);
    StringBuffer declared;
    HtmlHelp::readMetaCharset(text.getUtf8(), declared);

    Email2* target = m_email->findHtmlPart();
    if (!target) target = m_email.get();
    bool targetHadCharset = target->charset().getCodePage() != 0;

    const StringBuffer& bytes = text.getUtf8Sb();
    target->setHtmlBody(bytes.getString(), bytes.length(), m_log);
    m_htmlGiven.setString(bytes.getString(), bytes.length());
    m_hasHtml = true;
    m_htmlLast = true;

    if (!targetHadCharset && declared.isEmpty() && !text.isEmpty()) {
        const DataBuffer& units = text.getUtf16Db();
        unsigned codePage = chooseCarryingCharset(text.getUtf16(), units.size() / 2);
        if (codePage) {
            Charset cs;
            cs.setByCodePage(codePage);
            target->setCharset(cs);
        }
    }
}

void ClsEmail::put_From(XString& from) {
    if (!m_email) return;
    StringBuffer text(from.getUtf8());
    trimBlanks(text);
    m_email->setFromAddress(text.getString());
}

void ClsEmail::put_FromName(XString& name) {
    if (!m_email) return;
    StringBuffer text(name.getUtf8());
    trimBlanks(text);
    if (has8bit(text)) chooseCharset(name);
    m_email->setFromName(text.getString());
}

bool ClsEmail::AddTo(XString& name, XString& address) {
    return addRecipient("AddTo", RecipientKind::To, name, address);
}

bool ClsEmail::AddCC(XString& name, XString& address) {
    return addRecipient("AddCC", RecipientKind::Cc, name, address);
}

bool ClsEmail::AddBcc(XString& name, XString& address) {
    return addRecipient("AddBcc", RecipientKind::Bcc, name, address);
}

bool ClsEmail::addRecipient(const char* operation, RecipientKind kind, XString& name,
                            XString& address) {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, operation);
    m_log.LogData("DllDate", kDllDate);
    if (!m_email) {
        m_log.LogError("No internal email object");
        return false;
    }
    StringBuffer n(name.getUtf8()), a(address.getUtf8());
    trimBlanks(n);
    trimBlanks(a);
    if (kind != RecipientKind::Bcc && has8bit(n)) {
        XString trimmedName;
        trimmedName.setFromUtf8(n.getString());
        chooseCharset(trimmedName);
    }
    m_log.LogData("name", n.getString());
    m_log.LogData("address", a.getString());
    if (a.isEmpty()) {
        m_log.LogError("No Email Address was provided");
        return false;
    }
    bool ok = kind == RecipientKind::To   ? m_email->addTo(n.getString(), a.getString())
              : kind == RecipientKind::Cc ? m_email->addCc(n.getString(), a.getString())
                                          : m_email->addBcc(n.getString(), a.getString());
    if (!ok) {
        StringBuffer msg("Invalid email address: name = [");
        msg.append(n);
        msg.append("], address = [");
        msg.append(a);
        msg.append("]");
        m_log.LogError(msg.getString());
    }
    return ok;
}

bool ClsEmail::AddFileAttachment(XString& path, StringBuffer& contentTypeOut) {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, "AddFileAttachment");
    m_log.LogData("DllDate", kDllDate);
    contentTypeOut.clear();
    if (!m_email) {
        m_log.LogError("No internal email object");
        return false;
    }
    m_log.LogData("filename", path.getUtf8());
    StringBuffer chosen;
    if (!m_email->addFileAttachment(path.getUtf8(), nullptr, chosen, m_log)) {
        m_log.LogError("Failed to add file attachment");
        return false;
    }
    m_log.LogData("contentType", chosen.getString());
    contentTypeOut.append(chosen);
    return true;
}

bool ClsEmail::put_Charset(XString& charset) {
    if (!m_email) return false;
    Charset cs;
    cs.setByName(charset.getUtf8());
    // A name no table knows changes nothing.
    if (cs.getCodePage() == 0) return true;
    m_email->setHtmlCharset(cs);
    if (Email2* plain = m_email->findPlainPart()) plain->setCharset(cs);
    m_email->setCharset(cs);
    return true;
}

Email2* ClsEmail::getEmailTree(bool& created) {
    created = false;
    if (!m_email) {
        m_email = Email2::createNewEmail();
        created = true;
    }
    return m_email.get();
}

int ClsEmail::numTo() const {
    return m_email ? static_cast<int>(m_email->numTo()) : 0;
}
int ClsEmail::numCc() const {
    return m_email ? static_cast<int>(m_email->numCc()) : 0;
}
int ClsEmail::numBcc() const {
    return m_email ? static_cast<int>(m_email->numBcc()) : 0;
}

void ClsEmail::getTo(int i, StringBuffer& out) const {
    addressAt(m_email.get(), 0, i, out);
}
void ClsEmail::getCc(int i, StringBuffer& out) const {
    addressAt(m_email.get(), 1, i, out);
}
void ClsEmail::getBcc(int i, StringBuffer& out) const {
    addressAt(m_email.get(), 2, i, out);
}

bool ClsEmail::completeAlternative(Email2& copy) const {
    if (!m_hasPlain || !m_hasHtml) return false;
    Email2* html = copy.findHtmlPart();
    Email2* plain = copy.findPlainPart();
    if (html && plain && html != plain) return false;  // both are there already
    // The tree holds the body given last; the other goes beside it.
    std::unique_ptr<Email2> part = Email2::createInnerPart();
    if (m_htmlLast) {
        part->setBody(m_plainGiven.getString(), m_plainGiven.length(), false);
        part->setContentType({.type = "text/plain"});
    } else {
        LogNull quiet;
        part->setHtmlBody(m_htmlGiven.getString(), m_htmlGiven.length(), quiet);
    }
    copy.addAlternative(std::move(part));
    return true;
}
