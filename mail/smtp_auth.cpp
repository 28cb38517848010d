// The AUTH exchanges: LOGIN, PLAIN, CRAM-MD5, NTLM and MSN.
#include <cstring>
#include <string>

#include "diag/log_base.h"
#include "mail/cls_ntlm.h"
#include "mail/cram_md5.h"
#include "mail/ms_sspi.h"
#include "mail/package_exchange.h"
#include "mail/smtp_conn_impl.h"
#include "mime/content_coding.h"
#include "platform/identity.h"

namespace {

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

// The connection as a security package's peer during one AUTH exchange:
// base64 lines out, 334 lines in, and a 235 for the last one. It keeps the
// last reply, which tells whether the server still waits inside the
// exchange.
class SmtpConnImpl::PackagePeer : public PackageExchange {
  public:
    PackagePeer(SmtpConnImpl& conn, SmtpReply& last) : m_conn(conn), m_last(last) {}

    bool exchangePackage(const DataBuffer& outgoing, DataBuffer& incoming, LogBase& log) override {
        incoming.clear();
        if (!m_conn.send(smtpcmd::saslResponse(outgoing.data(), outgoing.size()), log)) {
            log.LogError("exchangePackage: failed to send package on socket");
            return false;
        }
        m_last = m_conn.readReplyLine(log);
        if (!m_last.is(334)) {
            log.LogError("exchangePackage: failed to get success response");
            return false;
        }
        StringBuffer token;
        return replyArgument(m_last.last, token) &&
               ContentCoding::decodeBase64(token.getString(), token.length(), incoming);
    }

    bool sendFinal(const DataBuffer& outgoing, LogBase& log) override {
        // The package produced nothing to send: the exchange is abandoned by
        // the caller, which cancels it.
        if (outgoing.isEmpty()) return false;
        if (!m_conn.send(smtpcmd::saslResponse(outgoing.data(), outgoing.size()), log)) {
            log.LogError("sendFinal: failed to send package on socket");
            return false;
        }
        m_last = m_conn.readReplyLine(log);
        if (!m_last.is(235)) {
            log.LogDataSb("response", m_last.lastTrimmed());
            log.LogError("Logon denied.  Check username, password, and domain");
            return false;
        }
        return true;
    }

  private:
    SmtpConnImpl& m_conn;
    SmtpReply& m_last;
};

SmtpConnImpl::Login SmtpConnImpl::authLogin(XString& username, XString& password, LogBase& log) {
    if (!haveCredentials(username, password)) {
        log.LogError("Username and/or password is empty");
        return Login::Failed;
    }
    if (!exchange(smtpcmd::auth("LOGIN"), 334, log).is(334)) {
        log.LogError("Failed to send AUTH LOGIN");
        logTranscript(log);
        return Login::Failed;
    }
    const StringBuffer& user = username.getUtf8Sb();
    if (!send(smtpcmd::saslResponse(user.getBytes(), user.length()), log)) {
        log.LogError("Failed to send login name");
        return Login::Failed;
    }
    if (!readReply(334, log).is(334)) {
        log.LogError("Failed to get response to login name");
        log.LogError("Check your username/password or your SMTP server's auth settings");
        logTranscript(log);
        return Login::Failed;
    }
    const StringBuffer& pass = password.getUtf8Sb();
    if (!send(smtpcmd::saslResponse(pass.getBytes(), pass.length()), log)) {
        log.LogError("Failed to send login password");
        return Login::Failed;
    }
    if (!readReply(235, log).is(235)) {
        log.LogError("Failed to get response to login password");
        logTranscript(log);
        return Login::Failed;
    }
    return Login::Done;
}

SmtpConnImpl::Login SmtpConnImpl::authPlain(XString& username, XString& password, LogBase& log) {
    if (!haveCredentials(username, password)) {
        log.LogError("Username and/or password is empty");
        return Login::Failed;
    }
    const StringBuffer& user = username.getUtf8Sb();
    const StringBuffer& pass = password.getUtf8Sb();
    // Authorisation and authentication identity are both the username.
    uint64_t size = 2ull * user.length() + pass.length() + 2;
    if (size > kMaxPlainMessageBytes) {
        log.LogError("Username and/or password is too long for AUTH PLAIN");
        log.LogDataLong("maxPlainMessageBytes", static_cast<int32_t>(kMaxPlainMessageBytes));
        return Login::Failed;
    }
    DataBuffer message;
    const bool made = message.append(user.getBytes(), user.length()) && message.appendByte(0) &&
                      message.append(user.getBytes(), user.length()) && message.appendByte(0) &&
                      message.append(pass.getBytes(), pass.length());
    if (!made ||
        !exchange(smtpcmd::authWithResponse("PLAIN", message.data(), message.size()), 235, log)
             .is(235)) {
        logTranscript(log);
        return Login::Failed;
    }
    return Login::Done;
}

SmtpConnImpl::Login SmtpConnImpl::authCramMd5(XString& username, XString& password, LogBase& log) {
    if (!haveCredentials(username, password)) {
        log.LogError("Username and/or password is empty");
        return Login::Failed;
    }
    if (!send(smtpcmd::auth("CRAM-MD5"), log)) return Login::Failed;
    const SmtpReply challengeLine = readReplyLine(log);
    if (!challengeLine.is(334)) return Login::Failed;

    const StringBuffer& line = challengeLine.last;
    DataBuffer challenge;
    if (line.length() > 4)
        ContentCoding::decodeBase64(line.getString() + 4, line.length() - 4, challenge);
    StringBuffer response;
    CramMD5::computeResponse(username.getUtf8Sb(), password.getUtf8Sb(), challenge, response);
    if (!send(smtpcmd::saslResponse(response.getBytes(), response.length()), log)) {
        log.LogError("Failed to send CRAM-MD5 response");
        return Login::Failed;
    }
    if (!readReply(235, log).is(235)) {
        log.LogError("Failed to get successful CRAM-MD5 response");
        log.LogError("Check your username/password or your SMTP server's auth settings");
        logTranscript(log);
        return Login::Failed;
    }
    return Login::Done;
}

SmtpConnImpl::Login SmtpConnImpl::authNtlm(XString& username, XString& password, LogBase& log) {
    if (!haveCredentials(username, password)) return Login::Failed;
    SmtpReply last = exchange(smtpcmd::auth("NTLM"), 334, log);
    if (!last.is(334)) {
        log.LogError("Failed to send AUTH NTLM");
        logTranscript(log);
        return Login::Failed;
    }
    if (useOwnNtlm(username)) {
        log.LogInfo("Using Brenvik NTLM...");
        last = authNtlmOwn(username, password, last, log);
        if (last.is(235)) return Login::Done;
    } else {
        log.LogInfo("Using Microsoft SSPI NTLM.");
        BrenvikSSPI sspi;
        const int index = sspi.getPackageIndex("NTLM");
        if (index < 0) {
            abandonOpenExchange(last, log);
            return Login::TryAnother;
        }
        if (authenticateWithPackage(sspi, index, username, password, last, log)) return Login::Done;
    }
    abandonOpenExchange(last, log);
    log.LogError("NTLM authentication failed");
    return Login::Failed;
}

bool SmtpConnImpl::authenticateWithPackage(BrenvikSSPI& sspi, int index, XString& username,
                                           XString& password, SmtpReply& last, LogBase& log) {
    PackagePeer peer(*this, last);
    sspi.setExchange(&peer);
    const bool ok = sspi.authenticate(index, username, password, log);
    sspi.setExchange(nullptr);
    return ok;
}

SmtpReply SmtpConnImpl::authNtlmOwn(XString& username, XString& password, SmtpReply last,
                                    LogBase& log) {
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
    if (!send(smtpcmd::saslEncoded(message), log)) {
        log.LogError("Failed to send NTLM TYPE1 message to SMTP server.");
        return last;
    }
    last = readReplyLine(log);
    if (!last.is(334)) {
        log.LogError("Failed to send NTLM TYPE1 response from SMTP server.");
        return last;
    }
    StringBuffer challenge;
    if (!replyArgument(last.last, challenge)) return last;
    // The challenge and the responses together are password-equivalent.
    log.LogDataLong("NtlmChallenge", static_cast<int32_t>(challenge.length()));
    if (!ntlm.genType3(challenge, log, message)) return last;
    if (!send(smtpcmd::saslEncoded(message), log)) {
        log.LogError("Failed to send NTLM TYPE3 message to SMTP server.");
        return last;
    }
    last = readReplyLine(log);
    if (!last.is(235)) {
        log.LogDataSb("response", last.lastTrimmed());
        log.LogError("Logon denied.  Check username, password, and domain");
        return last;
    }
    log.LogInfo("NTLM authentication succeeded.");
    return last;
}

bool SmtpConnImpl::replyArgument(const StringBuffer& line, StringBuffer& out) {
    out.clear();
    if (line.length() > 4 && !out.append(line.getString() + 4, line.length() - 4)) return false;
    out.trim();
    return true;
}

void SmtpConnImpl::abandonOpenExchange(const SmtpReply& last, LogBase& log) {
    // A 334 last: the server still waits for our next line. RFC 4954: "*"
    // ends an exchange the client cannot finish; the server answers 501,
    // and only then may another command follow.
    if (!last.is(334) || !m_socket.isConnected()) return;
    if (!send(smtpcmd::saslCancel(), log)) return;
    LogNull quiet;
    readReply(501, quiet);
}

SmtpConnImpl::Login SmtpConnImpl::authMsn(XString& username, XString& password, LogBase& log) {
    if (!haveCredentials(username, password)) return Login::Failed;
    // Asked before any command, so a missing package costs no round trip.
    BrenvikSSPI sspi;
    const int index = sspi.getPackageIndex("MSN");
    if (index < 0) return Login::TryAnother;
    SmtpReply last = exchange(smtpcmd::auth("MSN"), 334, log);
    if (!last.is(334)) {
        log.LogError("Failed to send AUTH MSN");
        logTranscript(log);
        return Login::Failed;
    }
    if (authenticateWithPackage(sspi, index, username, password, last, log)) return Login::Done;
    abandonOpenExchange(last, log);
    log.LogError("MSN authentication failed");
    return Login::Failed;
}
