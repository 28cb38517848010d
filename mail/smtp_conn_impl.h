#pragma once
// One SMTP client connection, plain or under TLS: connection set-up and
// reuse, the reply readers, the command sender, the transcript and
// authentication.
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "mail/package_exchange.h"
#include "mail/smtp_capabilities.h"
#include "mail/smtp_outcome.h"
#include "mail/smtp_reply.h"
#include "mail/tls_policy.h"
#include "net/socket2.h"
#include "text/brenvik_object.h"
#include "text/data_buffer.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

class BrenvikSSPI;
class Email2;
class LogBase;
struct EnvelopeRecipient;

class SmtpConnImpl : public BrenvikObject, public PackageExchange {
  public:
    // Host names containing this are refused before any connect. The name
    // sits under the reserved ".invalid" domain, so no real host can match.
    static const char* const kBlockedHost;
    // Where the refusal message sends the user.
    static const char* const kSupportContact;
    // Usernames containing this domain get LOGIN when the server lists no
    // mechanism. The domain is a reserved example name: no real provider
    // is singled out until one is known to need it.
    static const char* const kDefaultLoginDomain;
    // Commands sent without an argument are cut to this many bytes.
    static const uint32_t kMaxCommandBytes = 1999;
    // Bytes of one send that the transcript keeps.
    static const uint32_t kTranscriptSendBytes = 2500;
    // A multi-line reply that grows past this is abandoned, so a server
    // that streams continuation lines cannot hold the connection forever.
    static const uint32_t kMaxReplyBytes = 1024 * 1024;
    // The largest AUTH PLAIN message (username, NUL, username, NUL,
    // password): its base64 then fits one 2000-character line and the whole
    // command stays within kMaxCommandBytes.
    static const uint32_t kMaxPlainMessageBytes = 1488;
    // How long QUIT waits for its 221: the answer changes nothing.
    static const uint32_t kQuitReplyTimeoutMs = 2000;

    // A message whose text would be larger goes out streamed.
    static constexpr uint64_t kStreamAboveBytes = 256 * 1024;
    // Another limit for the tests (0: every message streamed).
    static void setStreamAboveForTesting(uint64_t bytes);

    SmtpConnImpl();
    ~SmtpConnImpl() override;
    SmtpConnImpl(const SmtpConnImpl&) = delete;
    SmtpConnImpl& operator=(const SmtpConnImpl&) = delete;

    // Reuses the open connection after a good RSET, or connects, greets,
    // says EHLO (HELO as fall-back) and authenticates. True when the server
    // is ready for MAIL FROM.
    bool smtpConnect(const char* host, int port, XString& username, XString& password,
                     int connectTimeoutSecs, int readTimeoutMs, LogBase& log, bool& timedOut);

    // ---- senders
    // Not recorded in the transcript: EHLO, HELO and credential lines.
    bool sendRaw(const char* bytes, uint32_t length, LogBase& log);
    // Recorded (the first kTranscriptSendBytes), then sent.
    bool sendLogged(const char* bytes, uint32_t length, LogBase& log);
    void recordSent(const char* bytes, uint32_t length);
    // Without an argument the command is sent as it is, cut to
    // kMaxCommandBytes; with one, its single "%s" is replaced by it.
    bool sendCommand(const char* command, const char* argument, int expectedCode, bool& commandSent,
                     int& code, StringBuffer& reply, bool logTerminator, LogBase& log,
                     bool& timedOut);

    // ---- readers; every one first sets lastResponseCode to 0
    bool readLine(StringBuffer& line, LogBase& log, bool& timedOut);
    // True (and logged) once a multi-line reply has grown past kMaxReplyBytes.
    static bool replyTooLong(uint32_t bytesSoFar, LogBase& log);
    bool readReplyLine(int expectedCode, StringBuffer& line, LogBase& log, bool& timedOut);
    bool readReplyText(int expectedCode, StringBuffer& text, LogBase& log, bool& timedOut);
    bool readReplyLast(int expectedCode, LogBase& log, bool& timedOut);
    bool readReply(int expectedCode, int& code, StringBuffer& text, LogBase& log, bool& timedOut);

    void resetConnection();
    void quit(LogBase& log);

    // ---- the mail transaction (smtp_transaction.cpp)
    // Sends one message on the connection smtpConnect made ready: a fresh
    // Message-ID, MAIL FROM, RCPT TO for every To, Cc and Bcc address, DATA
    // and the dot-stuffed MIME text. numAccepted is 0 whenever the
    // transaction is abandoned; numTotal counts the RCPT TO attempts.
    bool sendEmail(Email2* email, const StringBuffer& reversePath, LogBase& log, int& numAccepted,
                   int& numTotal, bool& timedOut);
    bool sendSmtpTransaction(Email2& email, const StringBuffer& reversePath, LogBase& log,
                             int& numAccepted, int& numTotal, bool& timedOut);

    // ---- authentication (smtp_auth.cpp)
    bool authLoginExchange(XString& username, XString& password, LogBase& log, bool& timedOut);
    bool authPlainExchange(XString& username, XString& password, LogBase& log, bool& timedOut);
    bool authCramMd5Exchange(XString& username, XString& password, LogBase& log, bool& timedOut);
    bool authNtlmExchange(XString& username, XString& password, LogBase& log, bool& timedOut,
                          bool& tryAnotherMethod);
    bool authMsnExchange(XString& username, XString& password, LogBase& log, bool& timedOut,
                         bool& tryAnotherMethod);
    // Security tokens over the open AUTH exchange: base64 lines out, 334
    // lines in, and a 235 for the last one.
    bool exchangePackage(const DataBuffer& outgoing, DataBuffer& incoming, LogBase& log) override;
    bool sendFinal(const DataBuffer& outgoing, LogBase& log) override;
    // AUTH NTLM with this library's own NTLM messages, after the server
    // answered "AUTH NTLM" with 334.
    bool authNtlmOwn(XString& username, XString& password, LogBase& log, bool& timedOut);
    // AUTH XOAUTH2: the password is the OAuth 2.0 access token.
    bool authXoauth2Exchange(XString& username, XString& token, LogBase& log, bool& timedOut);

    // Apply from the next new connection; a connection made under other
    // options is not reused.
    void setSessionOptions(const SessionOptions& options) { m_options = options; }
    void setTlsPolicy(const TlsPolicy& policy) { m_options.tls = policy; }
    // The session of the open connection; null when it is plain.
    const TlsLayer* tls() const { return m_socket.tls(); }

    void setIdleTimeoutMs(int ms) { m_idleTimeoutMs = ms; }
    int idleTimeoutMs() const { return m_idleTimeoutMs; }
    int lastResponseCode() const { return m_lastResponseCode; }
    bool isConnected() const { return m_socket.isConnected(); }
    const StringBuffer& transcript() const { return m_transcript; }
    const StringBuffer& connectedHost() const { return m_connectedHost; }
    int connectedPort() const { return m_connectedPort; }

    // The mechanisms the server listed or the auth method forced.
    bool authLogin() const { return m_capabilities.has(SmtpCapabilities::kLogin); }
    bool authPlain() const { return m_capabilities.has(SmtpCapabilities::kPlain); }
    bool authCramMd5() const { return m_capabilities.has(SmtpCapabilities::kCramMd5); }
    bool authNtlm() const { return m_capabilities.has(SmtpCapabilities::kNtlm); }
    bool authMsn() const { return m_capabilities.has(SmtpCapabilities::kMsn); }
    bool authDigestMd5() const { return m_capabilities.has(SmtpCapabilities::kDigestMd5); }
    bool authGssapi() const { return m_capabilities.has(SmtpCapabilities::kGssapi); }
    bool authKerberosV4() const { return m_capabilities.has(SmtpCapabilities::kKerberosV4); }
    bool authAnonymous() const { return m_capabilities.has(SmtpCapabilities::kAnonymous); }
    bool authXoauth2() const { return m_capabilities.has(SmtpCapabilities::kXoauth2); }
    // Everything the current connection's EHLO reply offered.
    const SmtpCapabilities& capabilities() const { return m_capabilities; }

    // What the replies said since clearOutcome (the mail manager clears it
    // when a send or login check starts).
    const SmtpOutcome& outcome() const { return m_outcome; }
    void clearOutcome() { m_outcome.clear(); }
    // The AUTH mechanism the open connection logged in with ("LOGIN", ...);
    // empty when it made no login.
    const std::string& authUsed() const { return m_authUsed; }

  private:
    bool canReuseConnection(const StringBuffer& host, int port, XString& username,
                            XString& password, LogBase& log, bool& timedOut);
    enum class EhloOutcome { Accepted, Refused, Unreadable };
    // The EHLO reply, read to its end: Accepted when every line is a 250,
    // Unreadable when it could not be read to a final line.
    EhloOutcome readEhloReply(StringBuffer& collected, LogBase& log, bool& timedOut);
    // smtp_tls.cpp
    enum class TlsStep {
        Plain,       // go on without TLS
        Secured,     // TLS is up (and, after STARTTLS, EHLO said again)
        Failed,      // the connect fails; the reason is logged
        RetryPlain,  // a new plain connection may still take the message
    };
    // The handshake on the open connection and what the policy makes of
    // the certificate; implicit: TLS before the greeting.
    TlsStep secureConnection(const char* host, bool implicit, LogBase& log);
    // STARTTLS after an accepted EHLO, when the server offers it and the
    // policy allows it.
    TlsStep negotiateStartTls(const char* host, const StringBuffer& helloName, LogBase& log,
                              bool& timedOut);
    // Logs why a required TLS session failed and which option relaxes it.
    void requiredTlsFailed(const char* cause, const char* remedy, LogBase& log);

    // TCP connect (and TLS when it comes first) and the 220 greeting.
    bool openAndGreet(const char* host, int port, int connectTimeoutSecs, LogBase& log,
                      bool& timedOut);
    // The one reply loop behind every multi-line reader: lines up to the
    // final one, within kMaxReplyBytes; onLine sees each line with its code.
    bool collectReply(SmtpReply& reply, LogBase& log, bool& timedOut,
                      const std::function<void(const StringBuffer&, int)>& onLine = nullptr);
    // Clears what described the open connection, so it is never reused.
    void forgetConnection();
    bool heloFallback(const char* host, int port, const StringBuffer& helloName, LogBase& log,
                      bool& timedOut);
    void finishConnect(const char* host, int port, XString& username, XString& password,
                       LogBase& log);
    void logTranscript(LogBase& log);

    // smtp_transaction.cpp
    enum class Envelope { Sent, Failed, Reconnect };
    // MAIL FROM, then each RCPT TO after the reply to the one before. Failed
    // when the transaction cannot go on (the connection reset if it was lost).
    Envelope sendEnvelopeInTurn(const StringBuffer& mailFrom, const StringBuffer& reversePath,
                                const std::vector<EnvelopeRecipient>& recipients, LogBase& log,
                                int& numAccepted, int& numTotal, bool& timedOut);
    // With PIPELINING: a pending RSET, MAIL FROM and every RCPT TO in one
    // write, then their replies in order. Reconnect when the RSET failed.
    Envelope sendEnvelopeGrouped(const StringBuffer& mailFrom, const StringBuffer& reversePath,
                                 const std::vector<EnvelopeRecipient>& recipients, LogBase& log,
                                 int& numAccepted, int& numTotal, bool& timedOut);
    // Each recipient in order: counted, logged when it cannot go, else
    // given the outcome reply gives it (accepted, code).
    Envelope eachRecipient(
        const std::vector<EnvelopeRecipient>& recipients, LogBase& log, int& numAccepted,
        int& numTotal, const std::function<std::pair<bool, int>(const EnvelopeRecipient&)>& reply);
    Envelope rsetFailed(LogBase& log);
    // A new connection to the server, port and login of the last one.
    bool reconnect(LogBase& log, bool& timedOut);
    void mailFromRefused(const StringBuffer& reversePath, int code, const StringBuffer& reply,
                         LogBase& log);

    // smtp_auth.cpp
    void forceAuthMethod(const StringBuffer& method);
    // Notes the mechanism of a login that succeeded; true.
    bool loggedIn(const char* mechanism);
    // The one mechanism the host's auth option names, if the server offers it.
    bool authenticateAsAsked(XString& username, XString& password, LogBase& log, bool& timedOut);
    bool authenticate(XString& username, XString& password, LogBase& log, bool& timedOut);
    // The text of a 334 reply line after its code, without the line end.
    static void replyArgument(const StringBuffer& line, StringBuffer& out);
    // Abandons an open SASL exchange with "*" and reads the server's answer.
    void cancelAuthExchange(LogBase& log, bool& timedOut);
    // The token loop of a security package over this connection.
    bool authenticateWithPackage(BrenvikSSPI& sspi, int index, XString& username, XString& password,
                                 LogBase& log, bool& timedOut);
    // Cancels the exchange when the server is still waiting inside it.
    void abandonOpenExchange(LogBase& log, bool& timedOut);

    StringBuffer m_transcript;
    StringBuffer m_connectedHost;
    int m_connectedPort;
    XString m_connectedUsername;
    XString m_connectedPassword;
    Socket2 m_socket;
    bool m_skipQuit;
    int m_idleTimeoutMs;
    int m_connectTimeoutSecs = 0;
    static uint64_t s_streamAbove;
    // A reused connection whose server pipelines: its RSET goes with the
    // next MAIL FROM instead of on its own.
    bool m_rsetPending = false;
    // When the last write ended (or the connection was made): the reply to
    // it must be complete within the idle time-out from then on.
    uint32_t m_replyClockStart = 0;
    int m_sendChunkSize;
    int m_lastResponseCode;
    // Set when a token exchange ended on the read time-out.
    bool m_exchangeTimedOut = false;
    SmtpCapabilities m_capabilities;
    SessionOptions m_options;
    // The options the open connection was made under.
    SessionOptions m_connectedOptions;
    // Set while a connect goes on in plain text after a failed STARTTLS.
    bool m_plainOnly = false;
    SmtpOutcome m_outcome;
    // The lines so far of a multi-line reply, for the outcome.
    std::string m_replySoFar;
    std::string m_authUsed;
    // Notes one received reply line in the outcome.
    void noteReplyLine(const StringBuffer& line);
};
