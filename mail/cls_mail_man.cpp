#include "mail/cls_mail_man.h"

#include <string>

#include "diag/log_base.h"
#include "mime/cls_email.h"
#include "platform/identity.h"

namespace {
// Names this build of the library in every log header.
constexpr const char* kComponent = "smtp_plugin engine";
}  // namespace

ClsMailMan::ClsMailMan() : m_smtpHost("localhost") {}

void ClsMailMan::put_SmtpHost(XString& host) {
    m_smtpHost.clear();
    // The ANSI form: the name goes to the resolver in the ANSI code page, and
    // the lower-casing rule (0xC0..0xDF raised by 32) is a single-byte rule.
    m_smtpHost.append(host.getAnsi());
    m_smtpHost.toLowerCase();
    m_smtpHost.replaceAll("http://", "");
    m_smtpHost.replaceAll("https://", "");
    m_smtpHost.removeChar('/');
}

void ClsMailMan::logHeader() {
    m_log.LogData("DllDate", kDllDate);
    std::string user;
    if (!platform::userName(user)) user.clear();
    m_log.LogData("Username", user.c_str());
    m_log.LogData("Component", kComponent);
}

void ClsMailMan::logRecipients(ClsEmail& email) {
    LogContextExitor ctx(m_log, "Recipients");
    StringBuffer addr;
    int n = email.numTo();
    m_log.LogDataLong("NumTo", n);
    for (int i = 0; i < n; ++i) {
        email.getTo(i, addr);
        m_log.LogData("To", addr.getString());
    }
    n = email.numCc();
    m_log.LogDataLong("NumCC", n);
    for (int i = 0; i < n; ++i) {
        email.getCc(i, addr);
        m_log.LogData("CC", addr.getString());
    }
    n = email.numBcc();
    m_log.LogDataLong("NumBCC", n);
    for (int i = 0; i < n; ++i) {
        email.getBcc(i, addr);
        m_log.LogData("BCC", addr.getString());
    }
}

bool ClsMailMan::SendEmail(ClsEmail& email) {
    email.setSendingFlag(true);
    m_log.ClearLog();
    {
        LogContextExitor ctx(m_log, "SendEmail");
        logHeader();
        logRecipients(email);

        // PLACEHOLDER until the SMTP engine lands: there is no connection to
        // make yet, so every send fails here as a failed connect would. Later
        // work replaces this with the connect, the message copy and the mail
        // transaction.
        m_log.LogError("Failed to connect to SMTP server.");
    }
    email.setSendingFlag(false);
    return false;
}

bool ClsMailMan::VerifySmtpLogin() {
    m_log.ClearLog();
    LogContextExitor ctx(m_log, "VerifySmtpLogin");
    logHeader();

    if (m_smtpUsername.isEmpty()) {
        m_log.LogError("SMTP username is empty.");
        return false;
    }
    if (m_smtpPassword.isEmpty()) {
        m_log.LogError("SMTP password is empty.");
        return false;
    }

    // PLACEHOLDER until the SMTP engine lands: no connection can be made yet,
    // so the login test fails as a failed connect would. Later work replaces
    // this with a temporary SMTP connection that connects, authenticates and
    // quits.
    m_log.LogError("Failed to connect to SMTP server.");
    m_log.LogError("Failed.");
    return false;
}
