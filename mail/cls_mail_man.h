#pragma once
// The mail manager: holds the SMTP settings and turns one e-mail object into
// one SMTP delivery.
#include "diag/cls_base.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

class ClsEmail;

class ClsMailMan : public ClsBase {
  public:
    ClsMailMan();
    ~ClsMailMan() override = default;

    // Stored lower-cased, without "http://", "https://" and without any "/".
    void put_SmtpHost(XString& host);
    void put_SmtpPort(int port) { m_smtpPort = port; }
    void put_SmtpUsername(XString& username) { m_smtpUsername.copyFrom(username); }
    void put_SmtpPassword(XString& password) { m_smtpPassword.copyFrom(password); }

    const StringBuffer& smtpHost() const { return m_smtpHost; }
    int smtpPort() const { return m_smtpPort; }
    // Read access for tests; the password is never logged.
    XString& smtpUsername() { return m_smtpUsername; }
    XString& smtpPassword() { return m_smtpPassword; }
    int connectTimeoutSeconds() const { return m_connectTimeoutSec; }
    int readTimeoutSeconds() const { return m_readTimeoutSec; }

    bool SendEmail(ClsEmail& email);
    bool VerifySmtpLogin();

  private:
    void logHeader();
    void logRecipients(ClsEmail& email);

    StringBuffer m_smtpHost;
    int m_smtpPort = 25;
    XString m_smtpUsername;
    XString m_smtpPassword;
    const int m_connectTimeoutSec = 30;
    const int m_readTimeoutSec = 30;
};
