#include "plugin/bv_email.h"

#include "mime/cls_email.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

BvEmail::BvEmail() : m_impl(std::make_unique<ClsEmail>()) {}

BvEmail::~BvEmail() = default;

bool BvEmail::put_Charset(const char* charset) {
    XString x;
    x.setFromSwitch(charset, m_utf8);
    return m_impl->put_Charset(x);
}

void BvEmail::put_From(const char* from) {
    XString x;
    x.setFromSwitch(from, m_utf8);
    m_impl->put_From(x);
}

void BvEmail::put_FromName(const char* name) {
    XString x;
    x.setFromSwitch(name, m_utf8);
    m_impl->put_FromName(x);
}

bool BvEmail::addRecipient(bool (ClsEmail::*add)(XString&, XString&), const char* name,
                           const char* address) {
    XString n, a;
    n.setFromSwitch(name, m_utf8);
    a.setFromSwitch(address, m_utf8);
    return (m_impl.get()->*add)(n, a);
}

bool BvEmail::AddTo(const char* name, const char* address) {
    return addRecipient(&ClsEmail::AddTo, name, address);
}

bool BvEmail::AddCC(const char* name, const char* address) {
    return addRecipient(&ClsEmail::AddCC, name, address);
}

bool BvEmail::AddBcc(const char* name, const char* address) {
    return addRecipient(&ClsEmail::AddBcc, name, address);
}

void BvEmail::put_Subject(const char* subject) {
    XString x;
    x.setFromSwitch(subject, m_utf8);
    m_impl->put_Subject(x);
}

void BvEmail::put_Body(const char* body) {
    XString x;
    x.setFromSwitch(body, m_utf8);
    m_impl->put_Body(x);
}

void BvEmail::SetHtmlBody(const char* html) {
    m_impl->SetHtmlBody(html, m_utf8);
}

bool BvEmail::AddFileAttachment(const char* path) {
    XString x;
    x.setFromSwitch(path, m_utf8);
    StringBuffer contentType;  // the chosen type is not wanted here
    return m_impl->AddFileAttachment(x, contentType);
}
