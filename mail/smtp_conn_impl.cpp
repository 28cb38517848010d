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
// machine's. False when the chosen name could not be copied whole.
bool helloName(Socket2& socket, const std::string& chosen, StringBuffer& out, LogBase& log) {
    out.clear();
    if (!chosen.empty()) return out.setString(chosen.c_str());
    socket.getLocalHostname(out, log);
    return !out.isEmpty() || out.setString("localhost");
}

}  // namespace

uint32_t SmtpConnImpl::netMs(std::chrono::milliseconds d) {
    if (d.count() <= 0) return 0;
    return d.count() >= 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(d.count());
}

SmtpConnImpl::SmtpConnImpl() = default;

SmtpConnImpl::~SmtpConnImpl() {
    try {
        close();
    } catch (...) {
        // Out of memory for the QUIT: the socket still closes below.
    }
}

void SmtpConnImpl::close() {
    if (m_socket.isConnected() && m_state != State::NoSession) {
        LogNull quiet;
        quit(quiet);
    }
}

// ---------------------------------------------------------------- connect

bool SmtpConnImpl::canReuseConnection(const StringBuffer& host, int port, XString& username,
                                      XString& password, LogBase& log) {
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
        if (m_state == State::Session) m_state = State::RsetPending;
        log.LogInfo("Using existing/open SMTP connection to send email.");
        return true;
    }
    log.LogInfo("Sending RSET command..");
    if (exchange(smtpcmd::rset(), 250, log).is(250)) {
        log.LogInfo("Using existing/open SMTP connection to send email.");
        return true;
    }
    log.LogError("RSET failed.");
    m_socket.close(quiet);
    return false;
}

bool SmtpConnImpl::smtpConnect(const char* host, int port, XString& username, XString& password,
                               std::chrono::seconds connectTimeout,
                               std::chrono::milliseconds readTimeout, LogBase& log,
                               bool& timedOut) {
    m_lastRead = SmtpReply();
    if (m_state == State::RsetPending) m_state = State::Session;
    m_connectTimeout = connectTimeout;
    Target target;
    makeTarget(host, port, username, password, target);
    bool ok = true;
    if (canReuseConnection(target.wanted, target.port, target.username, target.password, log))
        m_socket.logConnectionType(log);
    else
        ok = connectNew(target, readTimeout, log);
    timedOut = m_lastRead.timedOut();
    return ok;
}

void SmtpConnImpl::makeTarget(const char* host, int port, XString& username, XString& password,
                              Target& target) {
    target.host = host ? host : "";
    // Local copies: the caller's credentials stay as they are.
    target.username.copyFrom(username);
    target.password.copyFrom(password);
    target.noUser = target.username.isEmpty();
    target.noPassword = target.password.isEmpty();
    if (target.noUser || target.noPassword) {
        // Compared with the stored pair, which was cleared the same way.
        target.username.clear();
        target.password.clear();
    }
    target.wanted.setString(target.host);
    target.wanted.toLowerCase();
    target.wanted.trim();
    // "[v6]:port" names its port, and it wins over the configured one (the
    // socket connects there; the log, implicit TLS and reuse go by it too).
    platform::IpAddress literal;
    int literalPort = -1;
    target.port = port;
    if (parseIPv6Host(target.wanted.getString(), literal, literalPort) == Ipv6Host::Literal &&
        literalPort >= 0)
        target.port = literalPort;
}

bool SmtpConnImpl::connectNew(Target& target, std::chrono::milliseconds readTimeout, LogBase& log) {
    // Until this set-up finishes, nothing describes a connection that could
    // be reused, and nothing of an earlier server is kept.
    forgetConnection();
    m_capabilities.clear();
    m_transcript.clear();
    if (target.noUser) log.LogInfo("No SMTP login provided.");
    if (target.noPassword) log.LogInfo("No SMTP password provided.");
    if (target.noUser || target.noPassword) {
        target.authMethod.setString("NONE");
        log.LogInfo("Skipping SMTP authentication because no login/password provided.");
    }
    LogContextExitor context(log, "SMTP_Connect");
    if (!beginSession(target, readTimeout, log)) return false;
    StringBuffer name;
    if (!helloName(m_socket, m_options.heloName, name, log)) {
        log.LogError("The name for EHLO could not be made");
        return false;
    }
    const EhloOutcome ehlo = greetWithEhlo(target, name, log);
    if (ehlo == EhloOutcome::Failed) return false;
    // A HELO session has no extensions: nothing that EHLO lines said before
    // a refusal, or on the connection given up, holds for it.
    if (ehlo != EhloOutcome::Accepted) m_capabilities.clear();
    chooseAuthMethod(target, log);
    if (ehlo == EhloOutcome::Unreadable && !reopenForHelo(target, log)) return false;
    if (ehlo != EhloOutcome::Accepted) {
        if (!heloFallback(target.host, target.port, name, log)) return false;
    } else {
        if (!authenticate(target.username, target.password, log)) return false;
        logHostPort(log, "CONNECTED to ESMTP server %s:%d", target.host, target.port);
    }
    finishConnect(target, log);
    return true;
}

bool SmtpConnImpl::beginSession(Target& target, std::chrono::milliseconds readTimeout,
                                LogBase& log) {
    logHostPort(log, "Connecting to SMTP server %s:%d", target.host, target.port);
    StringBuffer lowerHost(target.host);
    lowerHost.toLowerCase();
    if (lowerHost.contains(kBlockedHost)) {
        StringBuffer msg("SMTP protocol failure, contact ");
        msg.append(kSupportContact);
        log.LogError(msg.getString());
        return false;
    }
    log.LogData("smtp_host", target.host);
    log.LogDataLong("smtp_port", target.port);
    log.LogData("smtp_user", target.username.isEmpty() ? "NULL" : target.username.getUtf8());
    if (!target.authMethod.isEmpty()) log.LogDataSb("auth-method", target.authMethod);

    if (m_connectTimeout.count() != 0)
        m_socket.setConnectTimeoutSecs(static_cast<uint32_t>(m_connectTimeout.count()));
    m_readTimeout = readTimeout;
    m_socket.setIdleTimeoutMs(netMs(readTimeout));
    target.plainOnly = false;
    return openAndGreet(target.host, target.port, true, log);
}

SmtpConnImpl::EhloOutcome SmtpConnImpl::greetWithEhlo(Target& target, const StringBuffer& name,
                                                      LogBase& log) {
    for (;;) {
        const SmtpCommand ehlo = smtpcmd::ehlo(name);
        StringBuffer shown(ehlo.shown);
        if (ehlo.built) shown.truncate(shown.length() - 2);  // without its CR LF
        log.LogDataSb("sendingHello", shown);
        if (!send(ehlo, log)) {
            log.LogError("Failed to send Hello (EHLO)");
            log.LogDataSb("hostname", name);
            return EhloOutcome::Failed;
        }
        StringBuffer helloText;
        const EhloOutcome outcome = readEhloReply(helloText, log);
        log.LogDataSb("helloResponse", helloText);
        if (outcome != EhloOutcome::Accepted) {
            if (m_options.tls.mode == TlsPolicy::Mode::StartTls && !m_socket.tls()) {
                requiredTlsFailed("EHLO failed, so STARTTLS cannot follow",
                                  "tls=auto sends without TLS", log);
                LogNull quiet;
                m_socket.close(quiet);
                return EhloOutcome::Failed;
            }
            return outcome;
        }
        const TlsStep step =
            target.plainOnly ? TlsStep::Plain : negotiateStartTls(target.host, name, log);
        if (step == TlsStep::Failed) return EhloOutcome::Failed;
        if (step != TlsStep::RetryPlain) return outcome;
        log.LogInfo("Continuing without TLS on a new connection (tls=auto).");
        target.plainOnly = true;
        // What the first server offered is no promise of the new one's: it
        // says EHLO again, and only its answer counts (AUTH above all).
        m_capabilities.clear();
        if (!openAndGreet(target.host, target.port, false, log)) return EhloOutcome::Failed;
    }
}

void SmtpConnImpl::chooseAuthMethod(Target& target, LogBase& log) {
    // An explicit auth option wins over the "default"/"default" rule.
    if (m_options.auth == "auto" && target.username.getUtf8Sb().equals("default") &&
        target.password.getUtf8Sb().equals("default")) {
        log.LogInfo("Username/password is default/default, therefore using NTLM.");
        target.authMethod.setString("ntlm");
    }
    if (!target.authMethod.isEmpty()) {
        target.authMethod.toUpperCase();
        log.LogDataSb("smtpAuthMethod", target.authMethod);
        forceAuthMethod(target.authMethod);
    }
}

bool SmtpConnImpl::reopenForHelo(const Target& target, LogBase& log) {
    // Whatever the server still sends belongs to EHLO: HELO goes on a
    // connection of its own, or every later reply would be one behind.
    log.LogInfo("No readable reply to EHLO; trying HELO on a new connection.");
    LogNull quiet;
    m_socket.close(quiet);
    return openAndGreet(target.host, target.port, !target.plainOnly, log);
}

bool SmtpConnImpl::openAndGreet(const char* host, int port, bool tlsAllowed, LogBase& log) {
    // Bytes an earlier connection left unread are no part of this one, and
    // nothing read on it counts for this one.
    m_socket.discardBuffered();
    m_lastRead = SmtpReply();
    bool lookupFailed = false;
    int failReason = 0;
    m_authUsed.clear();
    m_replySoFar.clear();
    const auto connectMs = std::chrono::duration_cast<std::chrono::milliseconds>(m_connectTimeout);
    if (!m_socket.connect(host, port, netMs(connectMs), log, lookupFailed, nullptr, failReason)) {
        m_outcome.connectError = failReason;
        log.LogError("Failed to connect to SMTP server.");
        return false;
    }
    // A fresh connection deserves its QUIT again.
    m_state = State::Session;
    if (m_options.tls.implicitOn(port) && tlsAllowed &&
        secureConnection(host, true, log) != TlsStep::Secured) {
        log.LogError("Failed to connect to SMTP server.");
        return false;
    }
    restartReplyClock();
    const SmtpReply greeting = readReplyText(220, log);
    log.LogDataSb("InitialResponse", greeting.text);
    if (greeting.is(220)) return true;
    log.LogError("Failed to get initial SMTP response..");
    log.LogError("The SMTP server may be denying access for this domain.");
    // Without any greeting no session began, so there is none to end: a
    // QUIT would only wait for another answer that is not coming. A server
    // that refused with a code still gets its QUIT.
    if (!greeting.answered()) m_state = State::NoSession;
    return false;
}

SmtpConnImpl::EhloOutcome SmtpConnImpl::readEhloReply(StringBuffer& collected, LogBase& log) {
    const SmtpReply reply = receive(SmtpReply::Shape::WholeReply, log);
    collected.setString(reply.text.getString(), reply.text.length());
    // Every line up to one that is no reply line; a line with another code
    // fails EHLO, but the reply is still read to its end so that the next
    // command's reply is the next one read.
    bool every250 = true;
    size_t counted = reply.lines.size();
    if (reply.flaw == SmtpReply::Flaw::NotReplyLine) --counted;
    for (size_t i = 0; i < counted; ++i) {
        StringBuffer line;
        line.setString(reply.lines[i].data(), static_cast<uint32_t>(reply.lines[i].size()));
        int code = -2;
        smtpreply::classify(line, code);
        if (code != 250)
            every250 = false;
        else if (every250)
            m_capabilities.noteEhloLine(line, i == 0);
    }
    // A last line without a reply code is no answer either: what the
    // server still sends cannot be told from the answer to HELO.
    if (!reply.answered()) return EhloOutcome::Unreadable;
    return every250 ? EhloOutcome::Accepted : EhloOutcome::Refused;
}

bool SmtpConnImpl::heloFallback(const char* host, int port, const StringBuffer& name,
                                LogBase& log) {
    log.LogError("EHLO failed, sending HELO...");
    if (!send(smtpcmd::helo(name.getString()), log)) {
        log.LogError("Failed to send Hello");
        return false;
    }
    // Read whole, as EHLO's: a line left over would be read as the next
    // command's reply.
    const SmtpReply first = receive(SmtpReply::Shape::WholeReply, log);
    if (!first.is(250)) {
        log.LogError("Failed to get response to Hello (HELO)");
        // Some servers only accept their own name here.
        if (!send(smtpcmd::helo(host), log)) {
            log.LogError("Failed to send Hello");
            return false;
        }
        if (!readReplyLast(250, log).is(250)) {
            log.LogError("Failed to get response to 2nd-try Hello (HELO)");
            return false;
        }
    }
    log.LogDataSb("HeloResponse", first.last);
    log.LogData("login_method", "NONE");
    logHostPort(log, "CONNECTED to SMTP server %s:%d", host, port);
    return true;
}

void SmtpConnImpl::finishConnect(const Target& target, LogBase& log) {
    m_socket.logConnectionType(log);
    m_connectedHost.setString(target.host);
    m_connectedHost.toLowerCase();
    m_connectedHost.trim();
    m_connectedPort = target.port;
    m_connectedUsername.copyFrom(target.username);
    m_connectedPassword.copyFrom(target.password);
    m_connectedOptions = m_options;
}

void SmtpConnImpl::forgetConnection() {
    if (m_state == State::RsetPending) m_state = State::Session;
    m_connectedHost.clear();
    m_connectedPort = 25;
    m_connectedUsername.clear();
    m_connectedPassword.clear();
}

// ---------------------------------------------------------------- senders

bool SmtpConnImpl::sendRaw(const char* bytes, uint32_t length, LogBase& log) {
    const bool sent = m_socket.SendBytes2(reinterpret_cast<const unsigned char*>(bytes), length,
                                          m_sendChunkSize, netMs(m_readTimeout), log, nullptr);
    restartReplyClock();
    return sent;
}

void SmtpConnImpl::recordSent(const char* bytes, uint32_t length) {
    if (length > kTranscriptSendBytes) {
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

bool SmtpConnImpl::send(const SmtpCommand& command, LogBase& log) {
    if (!command.built) {
        log.LogError("The command could not be made whole; not sent");
        return false;
    }
    if (command.transcribed) recordSent(command.shown.getString(), command.shown.length());
    return sendRaw(command.wire.getString(), command.wire.length(), log);
}

SmtpReply SmtpConnImpl::exchange(const SmtpCommand& command, int expectedCode, LogBase& log) {
    if (!send(command, log)) return SmtpReply::notSent();
    return readReply(expectedCode, log);
}

// ---------------------------------------------------------------- reader

void SmtpConnImpl::restartReplyClock() {
    m_replyClockStart = platform::tickCount();
}

SmtpReply SmtpConnImpl::receive(SmtpReply::Shape shape, std::chrono::milliseconds timeout,
                                LogBase& log) {
    SmtpReply reply;
    // A server that sends its reply a byte or a line at a time, each within
    // the idle time-out, must still not hold us longer than that in total,
    // counted from the end of our last write.
    const uint32_t idle = netMs(timeout);
    const uint32_t total = idle != 0 && idle < BrenvikSocket::kNoLimitMs ? idle : 0;
    StringBuffer line;
    for (bool more = true; more;) {
        bool timedOut = false, socketError = false, closed = false;
        if (!m_socket.receiveUntilMatch("\r\n", line, idle, log, nullptr, timedOut, socketError,
                                        closed, total, &m_replyClockStart)) {
            reply.readFailed(line, timedOut);
            break;
        }
        m_transcript.append(line);
        noteReplyLine(line);
        more = reply.addLine(line, shape, kMaxReplyBytes);
    }
    if (reply.flaw == SmtpReply::Flaw::TooLong) log.LogError("SMTP reply too long");
    m_lastRead = reply;
    return reply;
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

void SmtpConnImpl::logUnexpected(const SmtpReply& reply, int expectedCode, LogBase& log) {
    switch (reply.transport) {
        case SmtpReply::Transport::NotSent:
            return;
        case SmtpReply::Transport::TimedOut:
            log.LogError("ReadTimeout expired, abandoning attempt to retrieve SMTP response.");
            return;
        case SmtpReply::Transport::ConnectionLost:
            log.LogError("Failed to get SMTP command response...");
            return;
        case SmtpReply::Transport::Unreadable:
            if (reply.flaw == SmtpReply::Flaw::TooLong) return;
            if (reply.flaw == SmtpReply::Flaw::NotReplyLine)
                log.LogError("Unrecognized response from SMTP server");
            log.LogError(reply.lastTrimmed().getString());
            return;
        case SmtpReply::Transport::Answered:
            if (reply.code != expectedCode) log.LogError(reply.lastTrimmed().getString());
            return;
    }
}

SmtpReply SmtpConnImpl::readReply(int expectedCode, std::chrono::milliseconds timeout,
                                  LogBase& log) {
    const SmtpReply reply = receive(SmtpReply::Shape::WholeReply, timeout, log);
    logUnexpected(reply, expectedCode, log);
    return reply;
}

SmtpReply SmtpConnImpl::readReplyText(int expectedCode, LogBase& log) {
    const SmtpReply reply = receive(SmtpReply::Shape::WholeReply, log);
    const bool complete = reply.answered() || reply.flaw == SmtpReply::Flaw::NoCode;
    if (complete && !reply.is(expectedCode)) {
        StringBuffer shown(reply.text);
        shown.trim();
        log.LogError(shown.getString());
    }
    return reply;
}

SmtpReply SmtpConnImpl::readReplyLast(int expectedCode, LogBase& log) {
    const SmtpReply reply = receive(SmtpReply::Shape::WholeReply, log);
    const bool shown = reply.answered() ? reply.code != expectedCode
                                        : reply.flaw == SmtpReply::Flaw::NotReplyLine ||
                                              reply.flaw == SmtpReply::Flaw::NoCode;
    if (shown) log.LogError(reply.lastTrimmed().getString());
    return reply;
}

// ---------------------------------------------------------------- ending

void SmtpConnImpl::resetConnection() {
    LogNull quiet;
    m_socket.close(quiet);
    forgetConnection();
    m_state = State::NoSession;
}

void SmtpConnImpl::quit(LogBase& log) {
    if (!send(smtpcmd::quit(), log)) return;
    // Nothing depends on the answer: a silent server must not hold the
    // host's close or delete for the whole read time-out.
    const auto wait = m_readTimeout.count() <= 0 || m_readTimeout > kQuitReplyTimeout
                          ? kQuitReplyTimeout
                          : m_readTimeout;
    readReply(221, wait, log);
    // The session is over whatever the answer: a second QUIT (from the
    // destructor) or a reuse would only meet a closed connection.
    LogNull quiet;
    m_socket.close(quiet);
    forgetConnection();
}

void SmtpConnImpl::logTranscript(LogBase& log) {
    log.LogInfo(m_transcript.getString());
}
