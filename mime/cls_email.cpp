#include "mime/cls_email.h"

#include "diag/log_base.h"
#include "platform/files.h"

namespace {

// One recipient as the caller gave it, trimmed, in UTF-8.
class Recipient : public BrenvikObject {
  public:
    StringBuffer name;
    StringBuffer address;
};

void copyField(const ExtPtrArray& list, int i, bool wantAddress, StringBuffer& out) {
    out.clear();
    if (i < 0 || static_cast<uint32_t>(i) >= list.count()) return;
    const Recipient* r = list.at<Recipient>(static_cast<uint32_t>(i));
    if (r) out.append(wantAddress ? r->address : r->name);
}

}  // namespace

ClsEmail::~ClsEmail() {
    m_to.deleteAll();
    m_cc.deleteAll();
    m_bcc.deleteAll();
    m_attachments.deleteAll();
}

void ClsEmail::put_Subject(XString& subject) {
    m_subject.setString(subject.getUtf8());
}

void ClsEmail::put_Body(XString& body) {
    m_body.setString(body.getUtf8());
}

void ClsEmail::SetHtmlBody(const char* html, bool utf8) {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, "SetHtmlBody");
    m_log.LogData("DllDate", kDllDate);
    if (!html) {
        m_log.LogError("HTML string is NULL");
        return;
    }
    XString text;
    text.setFromSwitch(html, utf8);
    m_htmlBody.setString(text.getUtf8());
    m_hasHtml = true;
}

void ClsEmail::put_From(XString& from) {
    m_from.setString(from.getUtf8());
    m_from.trim();
}

bool ClsEmail::AddTo(XString& name, XString& address) {
    return addRecipient("AddTo", m_to, name, address);
}

bool ClsEmail::AddCC(XString& name, XString& address) {
    return addRecipient("AddCC", m_cc, name, address);
}

bool ClsEmail::AddBcc(XString& name, XString& address) {
    return addRecipient("AddBcc", m_bcc, name, address);
}

bool ClsEmail::addRecipient(const char* operation, ExtPtrArray& list, XString& name,
                            XString& address) {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, operation);
    m_log.LogData("DllDate", kDllDate);

    Recipient* r = new Recipient;
    r->name.setString(name.getUtf8());
    r->name.trim();
    r->address.setString(address.getUtf8());
    r->address.trim();
    m_log.LogData("name", r->name.getString());
    m_log.LogData("address", r->address.getString());

    if (r->address.isEmpty()) {
        m_log.LogError("No Email Address was provided");
        delete r;
        return false;
    }
    if (!list.append(r)) {
        delete r;
        return false;
    }
    return true;
}

bool ClsEmail::AddFileAttachment(XString& path, StringBuffer& contentTypeOut) {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, "AddFileAttachment");
    m_log.LogData("DllDate", kDllDate);
    m_log.LogData("filename", path.getUtf8());
    contentTypeOut.clear();

    // Only the file's existence is checked until the body and attachment
    // placement lands; that also picks the content type from the extension.
    if (platform::pathKind(path.getUtf8()) != platform::PathKind::RegularFile) {
        m_log.LogError("Failed to add file attachment");
        return false;
    }
    StringBuffer* stored = new StringBuffer(path.getUtf8());
    if (!m_attachments.append(stored)) {
        delete stored;
        m_log.LogError("Failed to add file attachment");
        return false;
    }
    return true;
}

bool ClsEmail::put_Charset(XString& charset) {
    m_charset.setString(charset.getUtf8());
    return true;
}

void ClsEmail::getTo(int i, StringBuffer& out) const {
    copyField(m_to, i, true, out);
}
void ClsEmail::getCc(int i, StringBuffer& out) const {
    copyField(m_cc, i, true, out);
}
void ClsEmail::getBcc(int i, StringBuffer& out) const {
    copyField(m_bcc, i, true, out);
}
void ClsEmail::getToName(int i, StringBuffer& out) const {
    copyField(m_to, i, false, out);
}

void ClsEmail::getAttachmentPath(int i, StringBuffer& out) const {
    out.clear();
    if (i < 0 || static_cast<uint32_t>(i) >= m_attachments.count()) return;
    const StringBuffer* p = m_attachments.at<StringBuffer>(static_cast<uint32_t>(i));
    if (p) out.append(*p);
}
