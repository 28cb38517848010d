#include "mail/smtp_conn_impl.h"

#include <cstring>

#include "diag/log_base.h"
#include "mail/smtp_reply.h"
#include "net/hostname_resolve.h"
#include "platform/clock.h"

const char* const SmtpConnImpl::kBlockedHost = "blocked-smtp.invalid";
const char* const SmtpConnImpl::kSupportContact = "support@example.com";
const char* const SmtpConnImpl::kDefaultLoginDomain = "@login-default.example";

namespace {

void logHostPort(LogBase& log, const char* format, const char* host, int port) {
    StringBuffer text;
    // The formats used here hold exactly "%s:%d".
    const char* at = strstr(format, "%s:%d");
    if (!at) return;
    text.append(format, static_cast<uint32_t>(at - format));
    text.append(host ? host : "");
    text.appendChar(':');
    text.appendInt(port);
    text.append(at + 5);
    log.LogInfo(text.getString());
}

// The local name EHLO and HELO announce: the host's helo_name, else the
// machine's.
void helloName(Socket2& socket, const std::string& chosen, StringBuffer& out, LogBase& log) {
    out.clear();
    if (!chosen.empty()) {
        out.setString(chosen.c_str());
        return;
    }
    socket.getLocalHostname(out, log);
    if (out.isEmpty()) out.setString("localhost");
}

}  // namespace

SmtpConnImpl::SmtpConnImpl()
    : m_connectedPort(25),
      m_skipQuit(false),
      m_idleTimeoutMs(30000),
      m_sendChunkSize(32767),
      m_lastResponseCode(0) {}

SmtpConnImpl::~SmtpConnImpl() {
    if (m_socket.isConnected() && !m_skipQuit) {
        LogNull quiet;
        quit(quiet);
    }
}

// ---------------------------------------------------------------- connect

bool SmtpConnImpl::canReuseConnection(const StringBuffer& host, int port, XString& username,
                                      XString& password, LogBase& log, bool& timedOut) {
    LogNull quiet;
    bool candidate = host.equals(m_connectedHost) && port == m_connectedPort &&
                     username.getUtf8Sb().equals(m_connectedUsername.getUtf8Sb()) &&
                     password.getUtf8Sb().equals(m_connectedPassword.getUtf8Sb()) &&
                     m_options == m_connectedOptions;
    if (!candidate) {
        log.LogInfo("Need new SMTP connection");
        m_socket.close(quiet);
        return false;
    }
    if (!m_socket.isConnected()) {
        log.LogInfo("No connection, need new SMTP connection.");
        return false;
    }
    // A new transaction on the open connection: the transcript starts over,
    // so it stays small however many messages one connection carries.
    m_transcript.clear();
    if (m_capabilities.offers("PIPELINING")) {
        // The RSET goes with the next MAIL FROM; if it fails there, the
        // send reconnects.
        m_rsetPending = true;
        log.LogInfo("Using existing/open SMTP connection to send email.");
        return true;
    }
    log.LogInfo("Sending RSET command..");
    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (sendCommand("RSET\r\n", nullptr, 250, sent, code, reply, false, log, timedOut)) {
        log.LogInfo("Using existing/open SMTP connection to send email.");
        return true;
    }
    log.LogError("RSET failed.");
    m_socket.close(quiet);
    return false;
}

bool SmtpConnImpl::smtpConnect(const char* host, int port, XString& usernameIn, XString& passwordIn,
                               int connectTimeoutSecs, int readTimeoutMs, LogBase& log,
                               bool& timedOut) {
    timedOut = false;
    m_rsetPending = false;
    m_connectTimeoutSecs = connectTimeoutSecs;
    if (!host) host = "";

    // Local copies: the caller's credentials stay as they are.
    XString username, password;
    username.copyFrom(usernameIn);
    password.copyFrom(passwordIn);
    StringBuffer authMethod;
    bool noUser = username.isEmpty();
    bool noPassword = password.isEmpty();
    if (noUser || noPassword) {
        // Compared with the stored pair, which was cleared the same way.
        username.clear();
        password.clear();
    }

    StringBuffer wanted(host);
    wanted.toLowerCase();
    wanted.trim();
    // "[v6]:port" names its port, and it wins over the configured one (the
    // socket connects there; the log, implicit TLS and reuse go by it too).
    platform::IpAddress literal;
    int literalPort = -1;
    if (parseIPv6Host(wanted.getString(), literal, literalPort) == Ipv6Host::Literal &&
        literalPort >= 0)
        port = literalPort;
    if (canReuseConnection(wanted, port, username, password, log, timedOut)) {
        m_socket.logConnectionType(log);
        return true;
    }

    // Until this set-up finishes, nothing describes a connection that could
    // be reused, and nothing of an earlier server is kept.
    forgetConnection();
    m_capabilities.clear();
    m_transcript.clear();
    if (noUser) log.LogInfo("No SMTP login provided.");
    if (noPassword) log.LogInfo("No SMTP password provided.");
    if (noUser || noPassword) {
        authMethod.setString("NONE");
        log.LogInfo("Skipping SMTP authentication because no login/password provided.");
    }

    LogContextExitor context(log, "SMTP_Connect");
    logHostPort(log, "Connecting to SMTP server %s:%d", host, port);

    StringBuffer lowerHost(host);
    lowerHost.toLowerCase();
    if (lowerHost.contains(kBlockedHost)) {
        StringBuffer msg("SMTP protocol failure, contact ");
        msg.append(kSupportContact);
        log.LogError(msg.getString());
        return false;
    }

    log.LogData("smtp_host", host);
    log.LogDataLong("smtp_port", port);
    log.LogData("smtp_user", username.isEmpty() ? "NULL" : username.getUtf8());
    if (!authMethod.isEmpty()) log.LogDataSb("auth-method", authMethod);

    if (connectTimeoutSecs != 0)
        m_socket.setConnectTimeoutSecs(static_cast<uint32_t>(connectTimeoutSecs));
    m_idleTimeoutMs = readTimeoutMs;
    m_socket.setIdleTimeoutMs(static_cast<uint32_t>(readTimeoutMs));
    m_plainOnly = false;
    if (!openAndGreet(host, port, connectTimeoutSecs, log, timedOut)) return false;

    StringBuffer name;
    helloName(m_socket, m_options.heloName, name, log);
    EhloOutcome ehloOutcome = EhloOutcome::Unreadable;
    for (;;) {
        StringBuffer ehlo("EHLO ");
        ehlo.append(name);
        log.LogDataSb("sendingHello", ehlo);
        ehlo.append("\r\n");
        if (!sendRaw(ehlo.getString(), ehlo.length(), log)) {
            log.LogError("Failed to send Hello (EHLO)");
            log.LogDataSb("hostname", name);
            return false;
        }
        StringBuffer helloText;
        ehloOutcome = readEhloReply(helloText, log, timedOut);
        log.LogDataSb("helloResponse", helloText);
        if (ehloOutcome != EhloOutcome::Accepted) {
            if (m_options.tls.mode == TlsPolicy::Mode::StartTls && !m_socket.tls()) {
                requiredTlsFailed("EHLO failed, so STARTTLS cannot follow",
                                  "tls=auto sends without TLS", log);
                LogNull quiet;
                m_socket.close(quiet);
                return false;
            }
            break;
        }
        const TlsStep step =
            m_plainOnly ? TlsStep::Plain : negotiateStartTls(host, name, log, timedOut);
        if (step == TlsStep::Failed) return false;
        if (step != TlsStep::RetryPlain) break;
        log.LogInfo("Continuing without TLS on a new connection (tls=auto).");
        m_plainOnly = true;
        timedOut = false;
        // What the first server offered is no promise of the new one's: it
        // says EHLO again, and only its answer counts (AUTH above all).
        m_capabilities.clear();
        if (!openAndGreet(host, port, connectTimeoutSecs, log, timedOut)) return false;
    }

    // An explicit auth option wins over the "default"/"default" rule.
    if (m_options.auth == "auto" && username.getUtf8Sb().equals("default") &&
        password.getUtf8Sb().equals("default")) {
        log.LogInfo("Username/password is default/default, therefore using NTLM.");
        authMethod.setString("ntlm");
    }
    if (!authMethod.isEmpty()) {
        authMethod.toUpperCase();
        log.LogDataSb("smtpAuthMethod", authMethod);
        forceAuthMethod(authMethod);
    }

    if (ehloOutcome == EhloOutcome::Unreadable) {
        // Whatever the server still sends belongs to EHLO: HELO goes on a
        // connection of its own, or every later reply would be one behind.
        log.LogInfo("No readable reply to EHLO; trying HELO on a new connection.");
        LogNull quiet;
        m_socket.close(quiet);
        timedOut = false;
        if (!openAndGreet(host, port, connectTimeoutSecs, log, timedOut)) return false;
    }
    if (ehloOutcome != EhloOutcome::Accepted) {
        if (!heloFallback(host, port, name, log, timedOut)) return false;
    } else {
        if (!authenticate(username, password, log, timedOut)) return false;
        logHostPort(log, "CONNECTED to ESMTP server %s:%d", host, port);
    }
    finishConnect(host, port, username, password, log);
    return true;
}

bool SmtpConnImpl::openAndGreet(const char* host, int port, int connectTimeoutSecs, LogBase& log,
                                bool& timedOut) {
    // Bytes an earlier connection left unread are no part of this one.
    m_socket.discardBuffered();
    bool lookupFailed = false;
    int failReason = 0;
    m_authUsed.clear();
    m_replySoFar.clear();
    if (!m_socket.connect(host, port, static_cast<uint32_t>(connectTimeoutSecs) * 1000u, log,
                          lookupFailed, nullptr, failReason)) {
        m_outcome.connectError = failReason;
        log.LogError("Failed to connect to SMTP server.");
        return false;
    }
    // A fresh connection deserves its QUIT again.
    m_skipQuit = false;
    if (m_options.tls.implicitOn(port) && !m_plainOnly &&
        secureConnection(host, true, log) != TlsStep::Secured) {
        log.LogError("Failed to connect to SMTP server.");
        return false;
    }
    m_replyClockStart = platform::tickCount();

    StringBuffer greeting;
    bool greeted = readReplyText(220, greeting, log, timedOut);
    log.LogDataSb("InitialResponse", greeting);
    if (!greeted) {
        log.LogError("Failed to get initial SMTP response..");
        log.LogError("The SMTP server may be denying access for this domain.");
        // Without any greeting no session began, so there is none to end: a
        // QUIT would only wait for another answer that is not coming. A
        // server that refused with a code still gets its QUIT.
        if (m_lastResponseCode == 0) m_skipQuit = true;
        return false;
    }
    return true;
}

SmtpConnImpl::EhloOutcome SmtpConnImpl::readEhloReply(StringBuffer& collected, LogBase& log,
                                                      bool& timedOut) {
    m_lastResponseCode = 0;
    bool every250 = true;
    bool first = true;
    SmtpReply reply;
    // A line with another code fails EHLO, but the reply is still read to
    // its end so that the next command's reply is the next one read.
    const bool complete =
        collectReply(reply, log, timedOut, [&](const StringBuffer& line, int code) {
            m_lastResponseCode = code > 0 ? code : 0;
            if (code != 250)
                every250 = false;
            else if (every250)
                m_capabilities.noteEhloLine(line, first);
            first = false;
        });
    collected.setString(reply.text.getString(), reply.text.length());
    // A last line without a reply code is no answer either: what the
    // server still sends cannot be told from the answer to HELO.
    if (!complete || reply.code < 0) return EhloOutcome::Unreadable;
    return every250 ? EhloOutcome::Accepted : EhloOutcome::Refused;
}

bool SmtpConnImpl::heloFallback(const char* host, int port, const StringBuffer& name, LogBase& log,
                                bool& timedOut) {
    log.LogError("EHLO failed, sending HELO...");
    StringBuffer helo("HELO ");
    helo.append(name);
    helo.append("\r\n");
    if (!sendRaw(helo.getString(), helo.length(), log)) {
        log.LogError("Failed to send Hello");
        return false;
    }
    StringBuffer line;
    if (!readReplyLine(250, line, log, timedOut)) {
        log.LogError("Failed to get response to Hello (HELO)");
        // Some servers only accept their own name here.
        StringBuffer second("HELO ");
        second.append(host);
        second.append("\r\n");
        if (!sendRaw(second.getString(), second.length(), log)) {
            log.LogError("Failed to send Hello");
            return false;
        }
        if (!readReplyLast(250, log, timedOut)) {
            log.LogError("Failed to get response to 2nd-try Hello (HELO)");
            return false;
        }
    }
    log.LogDataSb("HeloResponse", line);
    log.LogData("login_method", "NONE");
    logHostPort(log, "CONNECTED to SMTP server %s:%d", host, port);
    return true;
}

void SmtpConnImpl::finishConnect(const char* host, int port, XString& username, XString& password,
                                 LogBase& log) {
    m_socket.logConnectionType(log);
    m_connectedHost.setString(host);
    m_connectedHost.toLowerCase();
    m_connectedHost.trim();
    m_connectedPort = port;
    m_connectedUsername.copyFrom(username);
    m_connectedPassword.copyFrom(password);
    m_connectedOptions = m_options;
}

void SmtpConnImpl::forgetConnection() {
    m_rsetPending = false;
    m_connectedHost.clear();
    m_connectedPort = 25;
    m_connectedUsername.clear();
    m_connectedPassword.clear();
}

// ---------------------------------------------------------------- senders

bool SmtpConnImpl::sendRaw(const char* bytes, uint32_t length, LogBase& log) {
    const bool sent = m_socket.SendBytes2(reinterpret_cast<const unsigned char*>(bytes), length,
                                          static_cast<uint32_t>(m_sendChunkSize),
                                          static_cast<uint32_t>(m_idleTimeoutMs), log, nullptr);
    m_replyClockStart = platform::tickCount();
    return sent;
}

void SmtpConnImpl::recordSent(const char* bytes, uint32_t length) {
    // The arguments of AUTH PLAIN and AUTH XOAUTH2 are the password or the
    // access token in base64: never recorded.
    if (length >= 11 && strncmp(bytes, "AUTH PLAIN ", 11) == 0) {
        m_transcript.append("AUTH PLAIN ****\r\n");
    } else if (length >= 13 && strncmp(bytes, "AUTH XOAUTH2 ", 13) == 0) {
        m_transcript.append("AUTH XOAUTH2 ****\r\n");
    } else if (length > kTranscriptSendBytes) {
        m_transcript.append(bytes, kTranscriptSendBytes);
        m_transcript.append("\n...\n");
    } else {
        m_transcript.append(bytes, length);
    }
}

bool SmtpConnImpl::sendLogged(const char* bytes, uint32_t length, LogBase& log) {
    recordSent(bytes, length);
    return sendRaw(bytes, length, log);
}

bool SmtpConnImpl::sendCommand(const char* command, const char* argument, int expectedCode,
                               bool& commandSent, int& code, StringBuffer& reply,
                               bool logTerminator, LogBase& log, bool& timedOut) {
    code = -1;
    commandSent = false;
    reply.clear();
    if (!command) command = "";
    StringBuffer cmd;
    const char* at = argument ? strstr(command, "%s") : nullptr;
    if (at) {
        cmd.append(command, static_cast<uint32_t>(at - command));
        cmd.append(argument);
        cmd.append(at + 2);
    } else {
        size_t n = strlen(command);
        cmd.append(command, static_cast<uint32_t>(n > kMaxCommandBytes ? kMaxCommandBytes : n));
    }
    if (!sendLogged(cmd.getString(), cmd.length(), log)) return false;
    if (logTerminator) log.LogInfo("Sent DATA terminator");
    commandSent = true;
    return readReply(expectedCode, code, reply, log, timedOut);
}

// ---------------------------------------------------------------- readers

bool SmtpConnImpl::replyTooLong(uint32_t bytesSoFar, LogBase& log) {
    if (bytesSoFar <= kMaxReplyBytes) return false;
    log.LogError("SMTP reply too long");
    return true;
}

bool SmtpConnImpl::readLine(StringBuffer& line, LogBase& log, bool& timedOut) {
    bool socketError = false, closed = false;
    // A server that sends its reply a byte or a line at a time, each within
    // the idle time-out, must still not hold us longer than that in total,
    // counted from the end of our last write.
    const uint32_t idle = static_cast<uint32_t>(m_idleTimeoutMs);
    const uint32_t total = idle != 0 && idle < BrenvikSocket::kNoLimitMs ? idle : 0;
    if (!m_socket.receiveUntilMatch("\r\n", line, idle, log, nullptr, timedOut, socketError, closed,
                                    total, &m_replyClockStart))
        return false;
    m_transcript.append(line);
    noteReplyLine(line);
    return true;
}

void SmtpConnImpl::noteReplyLine(const StringBuffer& line) {
    int code = -2;
    const smtpreply::LineKind kind = smtpreply::classify(line, code);
    const std::string text(line.getString(), smtpreply::bodyLength(line));
    if (kind == smtpreply::LineKind::Unrecognized) {
        m_replySoFar.clear();
        return;
    }
    if (m_replySoFar.size() + text.size() < SmtpOutcome::kMaxReplyBytes) {
        if (!m_replySoFar.empty()) m_replySoFar += '\n';
        m_replySoFar += text;
    }
    if (kind != smtpreply::LineKind::Final) return;
    m_outcome.lastReply = text.substr(0, SmtpOutcome::kMaxReplyBytes);
    if (code >= 400 && m_outcome.refusals.size() < SmtpOutcome::kMaxRefusals)
        m_outcome.refusals.push_back(m_replySoFar);
    m_replySoFar.clear();
}

bool SmtpConnImpl::collectReply(SmtpReply& reply, LogBase& log, bool& timedOut,
                                const std::function<void(const StringBuffer&, int)>& onLine) {
    reply = SmtpReply();
    StringBuffer line;
    for (;;) {
        if (!readLine(line, log, timedOut)) {
            reply.status = SmtpReply::Status::ReadFailed;
            return false;
        }
        reply.text.append(line);
        reply.last.setString(line.getString(), line.length());
        int code = -2;
        const smtpreply::LineKind kind = smtpreply::classify(line, code);
        if (kind == smtpreply::LineKind::Unrecognized) {
            reply.status = SmtpReply::Status::Unrecognized;
            return false;
        }
        if (onLine) onLine(line, code);
        if (kind == smtpreply::LineKind::Final) {
            reply.code = code;
            reply.status = SmtpReply::Status::Complete;
            return true;
        }
        if (replyTooLong(reply.text.length(), log)) {
            reply.status = SmtpReply::Status::TooLong;
            return false;
        }
    }
}

bool SmtpConnImpl::readReplyLine(int expectedCode, StringBuffer& line, LogBase& log,
                                 bool& timedOut) {
    m_lastResponseCode = 0;
    if (!readLine(line, log, timedOut)) return false;
    int code = 0;
    if (!smtpreply::parseCode(line, code)) return false;
    m_lastResponseCode = code;
    return code == expectedCode;
}

bool SmtpConnImpl::readReplyText(int expectedCode, StringBuffer& text, LogBase& log,
                                 bool& timedOut) {
    m_lastResponseCode = 0;
    SmtpReply reply;
    const bool complete = collectReply(reply, log, timedOut);
    text.setString(reply.text.getString(), reply.text.length());
    if (!complete) return false;
    if (reply.code >= 0) m_lastResponseCode = reply.code;
    if (reply.code == expectedCode) return true;
    StringBuffer shown(text);
    shown.trim();
    log.LogError(shown.getString());
    return false;
}

bool SmtpConnImpl::readReplyLast(int expectedCode, LogBase& log, bool& timedOut) {
    m_lastResponseCode = 0;
    SmtpReply reply;
    const bool complete = collectReply(reply, log, timedOut);
    StringBuffer last(reply.last);
    last.trim();
    if (reply.status == SmtpReply::Status::Unrecognized) {
        log.LogError(last.getString());
        return false;
    }
    if (!complete) return false;
    if (reply.code >= 0) m_lastResponseCode = reply.code;
    if (reply.code == expectedCode) return true;
    log.LogError(last.getString());
    return false;
}

bool SmtpConnImpl::readReply(int expectedCode, int& code, StringBuffer& text, LogBase& log,
                             bool& timedOut) {
    code = -1;
    m_lastResponseCode = 0;
    text.clear();
    SmtpReply reply;
    collectReply(reply, log, timedOut);
    switch (reply.status) {
        case SmtpReply::Status::ReadFailed:
            if (timedOut)
                log.LogError("ReadTimeout expired, abandoning attempt to retrieve SMTP response.");
            else
                log.LogError("Failed to get SMTP command response...");
            return false;
        case SmtpReply::Status::Unrecognized: {
            log.LogError("Unrecognized response from SMTP server");
            StringBuffer shown(reply.last);
            shown.trim();
            log.LogError(shown.getString());
            return false;
        }
        case SmtpReply::Status::TooLong:
            return false;
        case SmtpReply::Status::Complete:
            break;
    }
    // Only the last line of a multi-line reply counts.
    code = reply.code;
    if (code >= 0) m_lastResponseCode = code;
    text.append(reply.last);
    text.trim();
    if (code != expectedCode) log.LogError(text.getString());
    return code == expectedCode;
}

// ---------------------------------------------------------------- ending

void SmtpConnImpl::resetConnection() {
    m_lastResponseCode = 0;
    LogNull quiet;
    m_socket.close(quiet);
    forgetConnection();
    m_skipQuit = true;
}

void SmtpConnImpl::quit(LogBase& log) {
    static const char kQuit[] = "QUIT\r\n";
    if (!sendLogged(kQuit, sizeof kQuit - 1, log)) return;
    // Nothing depends on the answer: a silent server must not hold the
    // host's close or delete for the whole read time-out.
    const int saved = m_idleTimeoutMs;
    if (m_idleTimeoutMs <= 0 || m_idleTimeoutMs > static_cast<int>(kQuitReplyTimeoutMs))
        m_idleTimeoutMs = static_cast<int>(kQuitReplyTimeoutMs);
    int code = -1;
    StringBuffer reply;
    bool timedOut = false;
    readReply(221, code, reply, log, timedOut);
    m_idleTimeoutMs = saved;
    // The session is over whatever the answer: a second QUIT (from the
    // destructor) or a reuse would only meet a closed connection.
    LogNull quiet;
    m_socket.close(quiet);
    forgetConnection();
}

void SmtpConnImpl::logTranscript(LogBase& log) {
    log.LogInfo(m_transcript.getString());
}
