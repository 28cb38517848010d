#include "mail/cls_mail_man.h"

#include <cstdio>
#include <memory>
#include <string>

#include "diag/log_base.h"
#include "mail/reply_hints.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "platform/identity.h"
#include "text/memory.h"

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

Email2* ClsMailMan::emailTree(ClsEmail& email) {
    bool created = false;
    Email2* tree = email.getEmailTree(created);
    if (!tree) {
        m_log.LogError("Internal email is NULL");
        return nullptr;
    }
    if (created) {
        m_log.LogError("Internal email was invalid (empty).");
        return nullptr;
    }
    return tree;
}

std::unique_ptr<Email2> ClsMailMan::prepareCopy(const Email2& tree) {
    std::unique_ptr<Email2> copy = tree.clone(m_log);
    // The reverse path was taken already; the sent text carries none.
    if (copy) copy->removeHeaderField("Return-Path");
    return copy;
}

bool ClsMailMan::SendEmail(ClsEmail& email) {
    email.setSendingFlag(true);
    m_log.ClearLog();
    m_status = Status();
    m_smtp.clearOutcome();
    bool ok = false;
    {
        LogContextExitor ctx(m_log, "SendEmail");
        logHeader();
        if (checkOptions()) {
            logRecipients(email);
            ok = sendSteps(email);
            finishStatus(m_smtp, m_smtpPort);
        }
    }
    m_status.firstError = m_log.firstError();
    email.setSendingFlag(false);
    return ok;
}

bool ClsMailMan::connectForSend(bool& timedOut) {
    m_smtp.setSessionOptions(m_options.session());
    try {
        if (!m_smtp.smtpConnect(m_smtpHost.getString(), m_smtpPort, m_smtpUsername, m_smtpPassword,
                                std::chrono::seconds(connectTimeoutSecs()),
                                std::chrono::milliseconds(readTimeoutMs()), m_log, timedOut)) {
            m_log.LogError("Failed to connect to SMTP server.");
            return false;
        }
    } catch (...) {
        m_log.LogError("Unexpected exception while connecting to the SMTP server.");
        return false;
    }
    return true;
}

std::unique_ptr<Email2> ClsMailMan::copyForSend(ClsEmail& email, const Email2& tree) {
    // The copy borrows the message's bodies: it goes before the message can.
    // An engine buffer that could not grow meanwhile may have left it short.
    const uint64_t failures = text::failedAllocations();
    std::unique_ptr<Email2> copy;
    try {
        copy = prepareCopy(tree);
    } catch (...) {
        m_log.LogError("Unexpected exception while preparing email for sending.");
        return nullptr;
    }
    if (!copy) {
        m_log.LogError("Failed to prepare email for sending. (3)");
        return nullptr;
    }
    if (m_options.htmlAlternative() && email.completeAlternative(*copy))
        m_log.LogInfo("Plain and HTML bodies sent as multipart/alternative (html_alternative=on)");
    if (text::failedAllocations() != failures) {
        m_log.LogError("Memory ran out while the message was prepared: nothing was sent.");
        return nullptr;
    }
    return copy;
}

bool ClsMailMan::sendSteps(ClsEmail& email) {
    Email2* tree = emailTree(email);
    if (!tree) return false;
    // The reverse path for MAIL FROM, taken before the copy is made.
    StringBuffer envelopeFrom;
    tree->getEnvelopeFrom(envelopeFrom);
    // RFC 5322 wants a From field, and providers refuse mail without one.
    if (!tree->hasHeaderField("From")) {
        m_log.LogError("The message has no sender (From): nothing was sent; set one first");
        return false;
    }

    bool timedOut = false;
    if (!connectForSend(timedOut)) return false;
    std::unique_ptr<Email2> copy = copyForSend(email, *tree);
    if (!copy) return false;

    int numAccepted = 0, numTotal = 0;
    bool sent = m_smtp.sendEmail(copy.get(), envelopeFrom, m_log, numAccepted, numTotal, timedOut);
    copy.reset();

    if (!sent) {
        if (timedOut) {
            m_log.LogError("Timed out");
        } else {
            m_log.LogDataLong("NumSuccess", numAccepted);
            m_log.LogDataLong("NumTotal", numTotal);
            m_log.LogError("Send failed.");
        }
        return false;
    }
    m_log.LogDataLong("NumAccepted", numAccepted);
    m_log.LogDataLong("NumRejected", numTotal - numAccepted);
    m_log.LogInfo("Returning success status.");
    return true;
}

bool ClsMailMan::VerifySmtpLogin() {
    m_log.ClearLog();
    m_status = Status();
    const bool ok = verifySteps();
    m_status.firstError = m_log.firstError();
    return ok;
}

bool ClsMailMan::verifySteps() {
    LogContextExitor ctx(m_log, "VerifySmtpLogin");
    logHeader();
    if (!checkOptions()) return false;

    if (m_smtpUsername.isEmpty()) {
        m_log.LogError("SMTP username is empty.");
        return false;
    }
    if (m_smtpPassword.isEmpty()) {
        m_log.LogError("SMTP password is empty.");
        return false;
    }

    // The persistent connection is left alone; this one QUITs when it goes.
    SmtpConnImpl temp;
    temp.setSessionOptions(m_options.session());
    bool timedOut = false;
    if (!temp.smtpConnect(m_smtpHost.getString(), m_smtpPort, m_smtpUsername, m_smtpPassword,
                          std::chrono::seconds(connectTimeoutSecs()),
                          std::chrono::milliseconds(readTimeoutMs()), m_log, timedOut)) {
        m_log.LogError("Failed to connect to SMTP server.");
        m_log.LogError("Failed.");
        finishStatus(temp, m_smtpPort);
        return false;
    }
    finishStatus(temp, m_smtpPort);
    // Credentials were given, yet the server listed nothing to log in with:
    // the check proved only that the server answers.
    if (temp.authUsed().empty()) {
        m_log.LogError("No login was made: the server lists no AUTH mechanism on this connection.");
        logHint(replyhints::forNoLogin(temp.capabilities().offers("STARTTLS")));
        if (m_options.strictLoginCheck()) {
            m_log.LogError("Failed (verify_login=strict).");
            return false;
        }
    }
    m_log.LogInfo("Success.");
    return true;
}

void ClsMailMan::quitConnection() {
    // As the connection's destructor would, but where a failure can be
    // caught.
    m_smtp.close();
}

void ClsMailMan::refuseBrokenMessage(const char* operation) {
    m_log.ClearLog();
    m_status = Status();
    {
        LogContextExitor ctx(m_log, "SendEmail");
        logHeader();
        char text[200];
        std::snprintf(text, sizeof text,
                      "Nothing was sent: %s did not complete, so the message is not the one "
                      "composed.",
                      operation);
        m_log.LogError(text);
    }
    m_status.firstError = m_log.firstError();
}

void ClsMailMan::operationFailed(const char* operation, const char* why) noexcept {
    m_smtp.drop();
    char text[200];
    std::snprintf(text, sizeof text, "%s did not complete: %s.", operation, why);
    m_log.LogError(text);  // never throws
    try {
        m_status.firstError = text;
    } catch (...) {
        // Memory ran out again: the failed result and the log say enough.
    }
}

bool ClsMailMan::checkOptions() {
    const std::vector<std::string> problems = m_options.problems();
    for (const std::string& p : problems) m_log.LogError(p.c_str());
    if (problems.empty()) return true;
    m_log.LogError("Nothing was sent: a setting given with set_option is not valid.");
    m_status.refusedOptions = true;
    return false;
}

void ClsMailMan::finishStatus(const SmtpConnImpl& conn, int port) {
    m_status.outcome = conn.outcome();
    if (!conn.authUsed().empty()) m_status.authUsed = conn.authUsed();
    if (const TlsLayer* tls = conn.tls())
        m_status.tlsSession = tls->info().version + " " + tls->info().cipher;
    std::string hint;
    if (m_status.outcome.connectError)
        hint = replyhints::forConnect(m_status.outcome.connectError, port);
    for (const std::string& reply : m_status.outcome.refusals) {
        if (!hint.empty()) break;
        hint = replyhints::forReply(reply);
    }
    if (!hint.empty()) logHint(hint);
}

void ClsMailMan::logHint(const std::string& hint) {
    m_status.hint = hint;
    m_log.LogInfo(("Hint: " + hint).c_str());
}

std::string ClsMailMan::lastErrorText() const {
    if (m_status.firstError.empty()) return "";
    return m_status.hint.empty() ? m_status.firstError
                                 : m_status.firstError + " Hint: " + m_status.hint;
}

bool ClsMailMan::optionValue(const std::string& name, std::string& out) const {
    return m_options.value(name, out, m_connectTimeoutSec, m_readTimeoutMs / 1000);
}
