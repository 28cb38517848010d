#pragma once
// The mail manager: holds the SMTP settings and turns one e-mail object into
// one SMTP delivery over one persistent SMTP connection.
#include <memory>
#include <string>

#include "diag/cls_base.h"
#include "mail/host_options.h"
#include "mail/smtp_conn_impl.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

class ClsEmail;
class Email2;

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
    int connectTimeoutSeconds() const { return connectTimeoutSecs(); }
    int readTimeoutSeconds() const { return readTimeoutMs() / 1000; }
    // Fault tests shorten the 30 s defaults so that they take a second.
    void setTimeoutsForTesting(int connectSeconds, int readMs) {
        m_connectTimeoutSec = connectSeconds;
        m_readTimeoutMs = readMs;
    }

    // A host setting by name (tls, tls_verify, tls_ca_file, auth, helo_name,
    // connect_timeout, read_timeout, error_file, verify_login); see
    // HostOptions.
    void setOption(const std::string& name, const std::string& value) {
        m_options.set(name, value);
    }
    const HostOptions& options() const { return m_options; }
    // A setting's current value (time-outs as they apply); false when the
    // name is no setting.
    bool optionValue(const std::string& name, std::string& out) const;

    // What the last SendEmail or VerifySmtpLogin leaves for the host to read.
    struct Status {
        SmtpOutcome outcome;
        std::string authUsed = "none";  // the AUTH mechanism, or "none"
        std::string tlsSession;         // "TLSv1.3 TLS_AES_128_GCM_SHA256"; empty without TLS
        std::string hint;               // the "Hint: " text logged, without that prefix
        std::string firstError;         // the first error logged
        bool refusedOptions = false;    // it failed on settings before any connect
    };
    const Status& lastStatus() const { return m_status; }
    // The first error of the last operation, with its hint; empty when none.
    std::string lastErrorText() const;

    // Sends a private copy of the message; the caller's message is never
    // changed. The connection stays open for the next send.
    bool SendEmail(ClsEmail& email);
    // Connects and authenticates on a temporary connection, then QUITs.
    bool VerifySmtpLogin();
    // Ends the persistent connection with QUIT (before the destructor would).
    void quitConnection();
    // A send of a message that a composing operation could not finish:
    // logged as refused, nothing goes out.
    void refuseBrokenMessage(const char* operation);
    // An operation of the plug-in stopped by an exception: the connection,
    // perhaps cut off in mid-command, is dropped without QUIT, and the
    // reason logged as the operation's error.
    void operationFailed(const char* operation, const char* why) noexcept;

    // For tests: the persistent connection.
    const SmtpConnImpl& smtpConnection() const { return m_smtp; }

  private:
    void logHeader();
    // Logs the settings that make this operation fail; false when there are any.
    bool checkOptions();
    // Keeps what the connection learnt, and logs the hint for its failure.
    void finishStatus(const SmtpConnImpl& conn, int port);
    // Logs "Hint: ..." and keeps the hint for last_error.
    void logHint(const std::string& hint);
    // The host's time-outs where it set them, else the defaults.
    int connectTimeoutSecs() const {
        return m_options.connectTimeoutSecs() ? m_options.connectTimeoutSecs()
                                              : m_connectTimeoutSec;
    }
    int readTimeoutMs() const {
        return m_options.readTimeoutSecs() ? m_options.readTimeoutSecs() * 1000 : m_readTimeoutMs;
    }
    void logRecipients(ClsEmail& email);

    // The message's tree; null, with the reason logged, when it has none.
    Email2* emailTree(ClsEmail& email);
    // Prepares the copy of the tree that is sent; null when that fails.
    std::unique_ptr<Email2> prepareCopy(const Email2& tree);
    // SendEmail's steps after the log header, inside its context.
    bool sendSteps(ClsEmail& email);
    // The connection ready for MAIL FROM (reused or new); logged when not.
    bool connectForSend(bool& timedOut);
    // The copy that goes, with both bodies under html_alternative; null
    // (logged) when it cannot be made whole.
    std::unique_ptr<Email2> copyForSend(ClsEmail& email, const Email2& tree);
    // VerifySmtpLogin's steps, in its context.
    bool verifySteps();

    SmtpConnImpl m_smtp;
    StringBuffer m_smtpHost;
    int m_smtpPort = 25;
    XString m_smtpUsername;
    XString m_smtpPassword;
    int m_connectTimeoutSec = 30;
    int m_readTimeoutMs = 30000;
    HostOptions m_options;
    Status m_status;
};
