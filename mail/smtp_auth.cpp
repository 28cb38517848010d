// Choosing the AUTH mechanism and the LOGIN, PLAIN and CRAM-MD5 exchanges.
#include <cstring>
#include <string>

#include "diag/log_base.h"
#include "mail/cls_ntlm.h"
#include "mail/cram_md5.h"
#include "mail/ms_sspi.h"
#include "mail/smtp_conn_impl.h"
#include "mime/content_coding.h"
#include "platform/identity.h"

namespace {

// Base64 on one line with CR LF appended: one credential line.
void credentialLine(const StringBuffer& value, StringBuffer& out) {
    out.clear();
    ContentCoding::encodeBase64(value.getBytes(), value.length(), out);
    out.removeChar('\r');
    out.removeChar('\n');
    out.append("\r\n");
}

bool haveCredentials(XString& username, XString& password) {
    return !username.isEmpty() && !password.isEmpty();
}

// Under the SYSTEM account there is no interactive logon for the security
// package to use, so explicit credentials go through our own messages.
bool useOwnNtlm(XString& username) {
    std::string account;
    if (!platform::userName(account) || account != "SYSTEM") return false;
    StringBuffer user(username.getUtf8());
    user.trim();
    return !user.isEmpty() && !user.equalsIgnoreCase("default");
}

}  // namespace

void SmtpConnImpl::forceAuthMethod(const StringBuffer& method) {
    if (method.equals("NTLM")) {
        m_capabilities.setMechanisms(SmtpCapabilities::kNtlm);
    } else if (method.equals("NONE")) {
        m_capabilities.setMechanisms(0);
    }
}

bool SmtpConnImpl::loggedIn(const char* mechanism) {
    m_authUsed = mechanism;
    return true;
}

bool SmtpConnImpl::authenticate(XString& username, XString& password, LogBase& log,
                                bool& timedOut) {
    if (m_options.auth != "auto") return authenticateAsAsked(username, password, log, timedOut);
    bool creds = haveCredentials(username, password);
    if (creds && !m_capabilities.has(SmtpCapabilities::kLogin) &&
        !m_capabilities.has(SmtpCapabilities::kNtlm) &&
        !m_capabilities.has(SmtpCapabilities::kMsn) &&
        !m_capabilities.has(SmtpCapabilities::kCramMd5)) {
        log.LogInfo("This SMTP server did not list authentication methods.");
        StringBuffer user(username.getUtf8());
        user.toLowerCase();
        if (user.contains(kDefaultLoginDomain)) {
            log.LogInfo("Defaulting to LOGIN authentication method.");
            m_capabilities.addMechanism(SmtpCapabilities::kLogin);
        }
    }
    if (!creds) {
        log.LogData("login_method", "NONE or already authenticated");
        return true;
    }

    if (m_capabilities.has(SmtpCapabilities::kLogin)) {
        log.LogData("login_method", "LOGIN");
        if (authLoginExchange(username, password, log, timedOut)) return loggedIn("LOGIN");
        log.LogInfo("Failed to login using LOGIN method");
        return false;
    }
    if (m_capabilities.has(SmtpCapabilities::kNtlm) || m_capabilities.has(SmtpCapabilities::kMsn)) {
        bool ntlm = m_capabilities.has(SmtpCapabilities::kNtlm);
        log.LogData("login_method", ntlm ? "NTLM" : "MSN");
        bool tryAnother = false;
        bool ok = ntlm ? authNtlmExchange(username, password, log, timedOut, tryAnother)
                       : authMsnExchange(username, password, log, timedOut, tryAnother);
        if (ok) return loggedIn(ntlm ? "NTLM" : "MSN");
        if (tryAnother) {
            log.LogData("alt_login_method", "LOGIN");
            if (authLoginExchange(username, password, log, timedOut)) return loggedIn("LOGIN");
            log.LogInfo("Failed to login using LOGIN method");
            return false;
        }
        log.LogInfo(ntlm ? "Failed to login using NTLM method"
                         : "Failed to login using MSN method");
        return false;
    }
    if (m_capabilities.has(SmtpCapabilities::kCramMd5)) {
        log.LogData("login_method", "CRAM_MD5");
        if (authCramMd5Exchange(username, password, log, timedOut)) return loggedIn("CRAM-MD5");
        log.LogInfo("Failed to login using CRAM-MD5 method");
        return false;
    }
    if (m_capabilities.has(SmtpCapabilities::kPlain)) {
        log.LogData("login_method", "PLAIN");
        if (authPlainExchange(username, password, log, timedOut)) return loggedIn("PLAIN");
        log.LogInfo("Failed to login using PLAIN method");
        return false;
    }
    // Mechanisms we cannot speak: go on unauthenticated; a server that needs
    // a login refuses MAIL FROM and says why.
    if (m_capabilities.has(SmtpCapabilities::kDigestMd5)) {
        log.LogData("login_method", "DIGEST-MD5");
        log.LogError("DIGEST-MD5 login method not supported");
    } else if (m_capabilities.has(SmtpCapabilities::kGssapi)) {
        log.LogData("login_method", "GSSAPI");
        log.LogError("GSSAPI login method not supported");
    } else if (m_capabilities.has(SmtpCapabilities::kKerberosV4)) {
        log.LogData("login_method", "Kerberos-V4");
        log.LogError("Kerberos v4 login method not supported");
    } else if (m_capabilities.has(SmtpCapabilities::kAnonymous)) {
        log.LogData("login_method", "anonymous");
        log.LogError("Anonymous login method not supported");
    } else {
        log.LogData("login_method", "NONE or already authenticated");
    }
    return true;
}

bool SmtpConnImpl::authLoginExchange(XString& username, XString& password, LogBase& log,
                                     bool& timedOut) {
    if (!haveCredentials(username, password)) {
        log.LogError("Username and/or password is empty");
        return false;
    }
    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (!sendCommand("AUTH LOGIN\r\n", nullptr, 334, sent, code, reply, false, log, timedOut)) {
        log.LogError("Failed to send AUTH LOGIN");
        logTranscript(log);
        return false;
    }
    StringBuffer line;
    credentialLine(username.getUtf8Sb(), line);
    if (!sendRaw(line.getString(), line.length(), log)) {
        log.LogError("Failed to send login name");
        return false;
    }
    if (!readReply(334, code, reply, log, timedOut)) {
        log.LogError("Failed to get response to login name");
        log.LogError("Check your username/password or your SMTP server's auth settings");
        logTranscript(log);
        return false;
    }
    credentialLine(password.getUtf8Sb(), line);
    if (!sendRaw(line.getString(), line.length(), log)) {
        log.LogError("Failed to send login password");
        return false;
    }
    if (!readReply(235, code, reply, log, timedOut)) {
        log.LogError("Failed to get response to login password");
        logTranscript(log);
        return false;
    }
    return true;
}

bool SmtpConnImpl::authPlainExchange(XString& username, XString& password, LogBase& log,
                                     bool& timedOut) {
    if (!haveCredentials(username, password)) {
        log.LogError("Username and/or password is empty");
        return false;
    }
    const StringBuffer& user = username.getUtf8Sb();
    const StringBuffer& pass = password.getUtf8Sb();
    // Authorisation and authentication identity are both the username.
    uint64_t size = 2ull * user.length() + pass.length() + 2;
    if (size > kMaxPlainMessageBytes) {
        log.LogError("Username and/or password is too long for AUTH PLAIN");
        log.LogDataLong("maxPlainMessageBytes", static_cast<int32_t>(kMaxPlainMessageBytes));
        return false;
    }
    DataBuffer message;
    message.append(user.getBytes(), user.length());
    message.appendByte(0);
    message.append(user.getBytes(), user.length());
    message.appendByte(0);
    message.append(pass.getBytes(), pass.length());

    StringBuffer command("AUTH PLAIN ");
    ContentCoding::encodeBase64(message.data(), message.size(), command);
    command.append("\r\n");
    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (!sendCommand(command.getString(), nullptr, 235, sent, code, reply, false, log, timedOut)) {
        logTranscript(log);
        return false;
    }
    return true;
}

bool SmtpConnImpl::authCramMd5Exchange(XString& username, XString& password, LogBase& log,
                                       bool& timedOut) {
    if (!haveCredentials(username, password)) {
        log.LogError("Username and/or password is empty");
        return false;
    }
    static const char kCommand[] = "AUTH CRAM-MD5\r\n";
    if (!sendLogged(kCommand, sizeof kCommand - 1, log)) return false;
    StringBuffer line;
    if (!readReplyLine(334, line, log, timedOut)) return false;

    DataBuffer challenge;
    if (line.length() > 4)
        ContentCoding::decodeBase64(line.getString() + 4, line.length() - 4, challenge);
    StringBuffer response;
    CramMD5::computeResponse(username.getUtf8Sb(), password.getUtf8Sb(), challenge, response);
    StringBuffer encoded;
    credentialLine(response, encoded);
    if (!sendRaw(encoded.getString(), encoded.length(), log)) {
        log.LogError("Failed to send CRAM-MD5 response");
        return false;
    }
    int code = -1;
    StringBuffer reply;
    if (!readReply(235, code, reply, log, timedOut)) {
        log.LogError("Failed to get successful CRAM-MD5 response");
        log.LogError("Check your username/password or your SMTP server's auth settings");
        logTranscript(log);
        return false;
    }
    return true;
}

bool SmtpConnImpl::authNtlmExchange(XString& username, XString& password, LogBase& log,
                                    bool& timedOut, bool& tryAnotherMethod) {
    tryAnotherMethod = false;
    if (!haveCredentials(username, password)) return false;
    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (!sendCommand("AUTH NTLM\r\n", nullptr, 334, sent, code, reply, false, log, timedOut)) {
        log.LogError("Failed to send AUTH NTLM");
        logTranscript(log);
        return false;
    }
    if (useOwnNtlm(username)) {
        log.LogInfo("Using Brenvik NTLM...");
        if (authNtlmOwn(username, password, log, timedOut)) return true;
        abandonOpenExchange(log, timedOut);
        log.LogError("NTLM authentication failed");
        return false;
    }
    log.LogInfo("Using Microsoft SSPI NTLM.");
    BrenvikSSPI sspi;
    const int index = sspi.getPackageIndex("NTLM");
    if (index < 0) {
        tryAnotherMethod = true;
        abandonOpenExchange(log, timedOut);
        return false;
    }
    if (authenticateWithPackage(sspi, index, username, password, log, timedOut)) return true;
    abandonOpenExchange(log, timedOut);
    log.LogError("NTLM authentication failed");
    return false;
}

bool SmtpConnImpl::authenticateWithPackage(BrenvikSSPI& sspi, int index, XString& username,
                                           XString& password, LogBase& log, bool& timedOut) {
    sspi.setExchange(this);
    m_exchangeTimedOut = false;
    const bool ok = sspi.authenticate(index, username, password, log);
    sspi.setExchange(nullptr);
    if (m_exchangeTimedOut) timedOut = true;
    return ok;
}

bool SmtpConnImpl::authNtlmOwn(XString& username, XString& password, LogBase& log, bool& timedOut) {
    ClsNtlm ntlm;
    ntlm.setUsername(username);
    ntlm.setPassword(password);
    std::string computer;
    if (platform::computerName(computer) && !computer.empty()) {
        XString workstation;
        workstation.setFromAnsi(computer.c_str());
        ntlm.setWorkstation(workstation);
    }

    StringBuffer message;
    ntlm.genType1(log, message);
    message.append("\r\n");
    if (!sendRaw(message.getString(), message.length(), log)) {
        log.LogError("Failed to send NTLM TYPE1 message to SMTP server.");
        return false;
    }
    StringBuffer line;
    if (!readReplyLine(334, line, log, timedOut)) {
        log.LogError("Failed to send NTLM TYPE1 response from SMTP server.");
        return false;
    }
    StringBuffer challenge;
    replyArgument(line, challenge);
    // The challenge and the responses together are password-equivalent.
    log.LogDataLong("NtlmChallenge", static_cast<int32_t>(challenge.length()));
    if (!ntlm.genType3(challenge, log, message)) return false;
    message.append("\r\n");
    if (!sendRaw(message.getString(), message.length(), log)) {
        log.LogError("Failed to send NTLM TYPE3 message to SMTP server.");
        return false;
    }
    if (!readReplyLine(235, line, log, timedOut)) {
        StringBuffer shown(line);
        shown.trim();
        log.LogDataSb("response", shown);
        log.LogError("Logon denied.  Check username, password, and domain");
        return false;
    }
    log.LogInfo("NTLM authentication succeeded.");
    return true;
}

void SmtpConnImpl::replyArgument(const StringBuffer& line, StringBuffer& out) {
    out.clear();
    if (line.length() > 4) out.append(line.getString() + 4, line.length() - 4);
    out.trim();
}

void SmtpConnImpl::abandonOpenExchange(LogBase& log, bool& timedOut) {
    // The last reply was a 334: the server still waits for our next line.
    if (m_lastResponseCode == 334 && m_socket.isConnected()) cancelAuthExchange(log, timedOut);
}

void SmtpConnImpl::cancelAuthExchange(LogBase& log, bool& timedOut) {
    // RFC 4954: "*" ends an exchange the client cannot finish; the server
    // answers 501, and only then may another command follow.
    static const char kCancel[] = "*\r\n";
    if (!sendLogged(kCancel, sizeof kCancel - 1, log)) return;
    int code = -1;
    StringBuffer reply;
    LogNull quiet;
    readReply(501, code, reply, quiet, timedOut);
}

bool SmtpConnImpl::authMsnExchange(XString& username, XString& password, LogBase& log,
                                   bool& timedOut, bool& tryAnotherMethod) {
    tryAnotherMethod = false;
    if (!haveCredentials(username, password)) return false;
    // Asked before any command, so a missing package costs no round trip.
    BrenvikSSPI sspi;
    const int index = sspi.getPackageIndex("MSN");
    if (index < 0) {
        tryAnotherMethod = true;
        return false;
    }
    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (!sendCommand("AUTH MSN\r\n", nullptr, 334, sent, code, reply, false, log, timedOut)) {
        log.LogError("Failed to send AUTH MSN");
        logTranscript(log);
        return false;
    }
    if (authenticateWithPackage(sspi, index, username, password, log, timedOut)) return true;
    abandonOpenExchange(log, timedOut);
    log.LogError("MSN authentication failed");
    return false;
}

bool SmtpConnImpl::exchangePackage(const DataBuffer& outgoing, DataBuffer& incoming, LogBase& log) {
    incoming.clear();
    StringBuffer line;
    ContentCoding::encodeBase64(outgoing.data(), outgoing.size(), line);
    line.append("\r\n");
    if (!sendRaw(line.getString(), line.length(), log)) {
        log.LogError("exchangePackage: failed to send package on socket");
        return false;
    }
    bool timedOut = false;
    if (!readReplyLine(334, line, log, timedOut)) {
        if (timedOut) m_exchangeTimedOut = true;
        log.LogError("exchangePackage: failed to get success response");
        return false;
    }
    StringBuffer token;
    replyArgument(line, token);
    ContentCoding::decodeBase64(token.getString(), token.length(), incoming);
    return true;
}

bool SmtpConnImpl::sendFinal(const DataBuffer& outgoing, LogBase& log) {
    // The package produced nothing to send: the exchange is abandoned by
    // the caller, which cancels it.
    if (outgoing.isEmpty()) return false;
    StringBuffer line;
    ContentCoding::encodeBase64(outgoing.data(), outgoing.size(), line);
    line.append("\r\n");
    if (!sendRaw(line.getString(), line.length(), log)) {
        log.LogError("sendFinal: failed to send package on socket");
        return false;
    }
    bool timedOut = false;
    if (!readReplyLine(235, line, log, timedOut)) {
        if (timedOut) m_exchangeTimedOut = true;
        StringBuffer shown(line);
        shown.trim();
        log.LogDataSb("response", shown);
        log.LogError("Logon denied.  Check username, password, and domain");
        return false;
    }
    return true;
}
