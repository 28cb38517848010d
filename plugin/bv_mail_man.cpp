#include "plugin/bv_mail_man.h"

#include "mail/cls_mail_man.h"
#include "plugin/bv_email.h"
#include "text/xstring.h"

BvMailMan::BvMailMan() : m_impl(std::make_unique<ClsMailMan>()) {}

BvMailMan::~BvMailMan() = default;

void BvMailMan::put_SmtpHost(const char* host) {
    XString x;
    x.setFromSwitch(host, m_utf8);
    m_impl->put_SmtpHost(x);
}

void BvMailMan::SetOption(const char* name, const char* value) {
    m_impl->setOption(name ? name : "", value ? value : "");
}

void BvMailMan::put_SmtpPort(int port) {
    m_impl->put_SmtpPort(port);
}

void BvMailMan::put_SmtpUsername(const char* username) {
    XString x;
    x.setFromSwitch(username, m_utf8);
    m_impl->put_SmtpUsername(x);
}

void BvMailMan::put_SmtpPassword(const char* password) {
    XString x;
    x.setFromSwitch(password, m_utf8);
    m_impl->put_SmtpPassword(x);
}

bool BvMailMan::SendEmail(BvEmail* email) {
    if (!email) return false;
    return m_impl->SendEmail(*email->impl());
}

bool BvMailMan::VerifySmtpLogin() {
    return m_impl->VerifySmtpLogin();
}

bool BvMailMan::SaveLastError(const char* path) {
    return m_impl->SaveLastError(path);
}
