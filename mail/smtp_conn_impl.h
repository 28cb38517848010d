#pragma once
// One SMTP client connection, plain or under TLS: connection set-up and
// reuse, the reply reader, the command sender, the transcript and
// authentication.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "mail/smtp_capabilities.h"
#include "mail/smtp_commands.h"
#include "mail/smtp_outcome.h"
#include "mail/smtp_reply.h"
#include "mail/tls_policy.h"
#include "net/socket2.h"
#include "text/brenvik_object.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

class BrenvikSSPI;
class Email2;
class LogBase;
struct EnvelopeRecipient;
struct SmtpConnImplTestAccess;

class SmtpConnImpl : public BrenvikObject {
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
    // Bytes of one send that the transcript keeps.
    static const uint32_t kTranscriptSendBytes = 2500;
    // A multi-line reply that grows past this is abandoned, so a server
    // that streams continuation lines cannot hold the connection forever.
    static const uint32_t kMaxReplyBytes = 1024 * 1024;
    // The largest AUTH PLAIN message (username, NUL, username, NUL,
    // password): its base64 then fits one 2000-character line.
    static const uint32_t kMaxPlainMessageBytes = 1488;
    // How long QUIT waits for its 221: the answer changes nothing.
    static constexpr std::chrono::milliseconds kQuitReplyTimeout{2000};
    // A message whose text would be larger goes out streamed.
    static constexpr uint64_t kStreamAboveBytes = 256 * 1024;

    SmtpConnImpl();
    ~SmtpConnImpl() override;
    SmtpConnImpl(const SmtpConnImpl&) = delete;
    SmtpConnImpl& operator=(const SmtpConnImpl&) = delete;

    // Reuses the open connection after a good RSET, or connects, greets,
    // says EHLO (HELO as fall-back) and authenticates. True when the server
    // is ready for MAIL FROM. timedOut: the last read ran out of time.
    bool smtpConnect(const char* host, int port, XString& username, XString& password,
                     std::chrono::seconds connectTimeout, std::chrono::milliseconds readTimeout,
                     LogBase& log, bool& timedOut);
    // Sends one message on the connection smtpConnect made ready: a fresh
    // Message-ID, MAIL FROM, RCPT TO for every To, Cc and Bcc address, then
    // DATA and the dot-stuffed MIME text, or the text in BDAT chunks when
    // the server offers CHUNKING. numAccepted is 0 whenever the transaction
    // is abandoned; numTotal counts the RCPT TO attempts.
    bool sendEmail(Email2* email, const StringBuffer& reversePath, LogBase& log, int& numAccepted,
                   int& numTotal, bool& timedOut);
    // Apply from the next new connection; a connection made under other
    // options is not reused.
    void setSessionOptions(const SessionOptions& options) { m_options = options; }
    // The session of the open connection; null when it is plain.
    const TlsLayer* tls() const { return m_socket.tls(); }
    // Everything the current connection's EHLO reply offered, with the
    // mechanisms a forced auth method set.
    const SmtpCapabilities& capabilities() const { return m_capabilities; }
    // What the replies said since clearOutcome (the mail manager clears it
    // when a send or login check starts).
    const SmtpOutcome& outcome() const { return m_outcome; }
    void clearOutcome() { m_outcome.clear(); }
    // The AUTH mechanism the open connection logged in with ("LOGIN", ...);
    // empty when it made no login.
    const std::string& authUsed() const { return m_authUsed; }
    // Ends an open session with QUIT; nothing where no session began (a
    // silent greeting) or the connection is gone. The destructor does it too.
    void close();
    // Drops the connection without a word, so it is never reused.
    void drop() { resetConnection(); }

  private:
    friend struct SmtpConnImplTestAccess;
    class PackagePeer;

    // Whether the connection holds a session that QUIT should end, and
    // whether its RSET is still owed.
    enum class State {
        NoSession,    // nothing to end: never greeted, or reset
        Session,      // a session to end with QUIT
        RsetPending,  // reused with PIPELINING: its RSET goes with the next MAIL FROM
    };
    // What a login attempt came to.
    enum class Login { Done, Failed, TryAnother };
    using LoginRun = Login (SmtpConnImpl::*)(XString&, XString&, LogBase&);
    // One row of the AUTH table (smtp_auth_choice.cpp), which both auth=auto
    // and a named auth option choose from.
    struct Mechanism;
    static const Mechanism kMechanisms[];
    static const Mechanism* mechanismFor(SmtpCapabilities::Mechanism flag);
    static const Mechanism* mechanismNamed(const std::string& option);

    // What smtpConnect was asked for, as the set-up steps use it.
    struct Target {
        const char* host = "";
        StringBuffer wanted;  // the host lower-cased and trimmed, as reuse compares it
        int port = 25;
        // Copies, both cleared when either is missing.
        XString username;
        XString password;
        bool noUser = false;
        bool noPassword = false;
        StringBuffer authMethod;  // "NONE", "NTLM" when forced
        // Set while a connect goes on in plain text after a failed STARTTLS.
        bool plainOnly = false;
    };

    // ---- smtp_conn_impl.cpp: connect
    static void makeTarget(const char* host, int port, XString& username, XString& password,
                           Target& target);
    bool canReuseConnection(const StringBuffer& host, int port, XString& username,
                            XString& password, LogBase& log);
    bool connectNew(Target& target, std::chrono::milliseconds readTimeout, LogBase& log);
    // Logs what is asked, takes the time-outs and opens the connection.
    bool beginSession(Target& target, std::chrono::milliseconds readTimeout, LogBase& log);
    enum class EhloOutcome { Accepted, Refused, Unreadable, Failed };
    // EHLO, and STARTTLS when the policy and the server agree; on a failed
    // STARTTLS under tls=auto, again on a plain connection.
    EhloOutcome greetWithEhlo(Target& target, const StringBuffer& name, LogBase& log);
    // The EHLO reply read to its end: Accepted when every line is a 250,
    // Unreadable when it could not be read to a final line with a code.
    EhloOutcome readEhloReply(StringBuffer& collected, LogBase& log);
    void chooseAuthMethod(Target& target, LogBase& log);
    // A new connection for HELO after an EHLO reply that could not be read.
    bool reopenForHelo(const Target& target, LogBase& log);
    // TCP connect (and TLS when it comes first) and the 220 greeting.
    bool openAndGreet(const char* host, int port, bool tlsAllowed, LogBase& log);
    bool heloFallback(const char* host, int port, const StringBuffer& helloName, LogBase& log);
    void finishConnect(const Target& target, LogBase& log);
    // Clears what described the open connection, so it is never reused.
    void forgetConnection();
    void resetConnection();
    // Ends the session with QUIT and closes the connection (the destructor
    // does it for a session still open).
    void quit(LogBase& log);
    void logTranscript(LogBase& log);
    void restartReplyClock();
    // The net layer counts milliseconds in 32 bits, 0 for no limit: the one
    // place a duration becomes such a count.
    static uint32_t netMs(std::chrono::milliseconds d);
    // Logs why a reply read by readReply is not the one expected.
    static void logUnexpected(const SmtpReply& reply, int expectedCode, LogBase& log);

    // ---- smtp_tls.cpp
    enum class TlsStep {
        Plain,       // go on without TLS
        Secured,     // TLS is up (and, after STARTTLS, EHLO said again)
        Failed,      // the connect fails; the reason is logged
        RetryPlain,  // a new plain connection may still take the message
    };
    // The handshake on the open connection and what the policy makes of
    // the certificate; implicit: TLS before the greeting.
    TlsStep secureConnection(const char* host, bool implicit, LogBase& log);
    // The name the certificate must carry for the host as written.
    std::string peerName(const char* host);
    // What the policy makes of the certificate check of the new session.
    TlsStep judgeCertificate(LogBase& log);
    // STARTTLS after an accepted EHLO, when the server offers it and the
    // policy allows it.
    TlsStep negotiateStartTls(const char* host, const StringBuffer& helloName, LogBase& log);
    // Logs why a required TLS session failed and which option relaxes it.
    void requiredTlsFailed(const char* cause, const char* remedy, LogBase& log);

    // ---- smtp_transaction.cpp
    struct Transaction;
    enum class Envelope { Sent, Failed, Reconnect };
    bool sendSmtpTransaction(Email2& email, const StringBuffer& reversePath, LogBase& log,
                             int& numAccepted, int& numTotal);
    // Envelope, DATA, the text and its reply, on a connection made again
    // when a grouped RSET failed.
    bool runTransaction(Transaction& t, LogBase& log);
    bool renderText(Transaction& t, LogBase& log);
    bool makeEnvelope(Transaction& t, LogBase& log);
    bool declareSize(Transaction& t, LogBase& log);
    Envelope sendEnvelope(Transaction& t, LogBase& log);
    bool openData(Transaction& t, LogBase& log);
    bool sendText(Transaction& t, LogBase& log);
    bool readDataReply(Transaction& t, LogBase& log);
    // The reply after text went, as after the end-of-data line; whole: the
    // server has all of it, so a time-out does not fail the send.
    bool judgeTextReply(Transaction& t, const SmtpReply& reply, bool whole, LogBase& log);
    // BDAT: the text as it is, in one chunk or in several one at a time.
    struct ChunkRun;
    bool sendChunks(Transaction& t, LogBase& log);
    // False when a chunk could not go (the connection or the text failed)
    // before a reply ended the run.
    bool sendEachChunk(Transaction& t, ChunkRun& run, LogBase& log);
    static std::string chunkFailure(const ChunkRun& run);
    // "BDAT <size> LAST" and the whole text after it, for the group.
    static SmtpCommand wholeTextChunk(Transaction& t);
    // Each recipient in order: counted, logged when it cannot go, else
    // given the reply the group brings for it.
    class CommandGroup;
    Envelope eachRecipient(Transaction& t, CommandGroup& group, LogBase& log);
    Envelope rsetFailed(LogBase& log);
    // The reply to a grouped DATA that must carry no text: a 354 gets the
    // end-of-data line, so that the server leaves DATA.
    void leaveUnwantedData(const SmtpReply& reply);
    // A new connection to the server, port and login of the last one.
    bool reconnect(LogBase& log);
    void mailFromRefused(const StringBuffer& reversePath, const SmtpReply& reply, LogBase& log);

    // ---- smtp_auth.cpp and smtp_auth_choice.cpp
    void forceAuthMethod(const StringBuffer& method);
    bool authenticate(XString& username, XString& password, LogBase& log);
    // The one mechanism the host's auth option names, if the server offers it.
    bool authenticateAsAsked(XString& username, XString& password, LogBase& log);
    // Runs the mechanism's exchange; logs the failure in one wording.
    // The exchange of the mechanism with this flag; Failed for one this
    // client cannot speak.
    Login runMechanism(SmtpCapabilities::Mechanism flag, XString& username, XString& password,
                       LogBase& log);
    // fallBack: TryAnother is given back rather than counted as a failure.
    Login tryMechanism(const Mechanism& m, XString& username, XString& password, bool fallBack,
                       LogBase& log);
    Login authLogin(XString& username, XString& password, LogBase& log);
    Login authPlain(XString& username, XString& password, LogBase& log);
    Login authCramMd5(XString& username, XString& password, LogBase& log);
    Login authNtlm(XString& username, XString& password, LogBase& log);
    Login authMsn(XString& username, XString& password, LogBase& log);
    // AUTH XOAUTH2: the password is the OAuth 2.0 access token.
    Login authXoauth2(XString& username, XString& token, LogBase& log);
    // AUTH NTLM with this library's own NTLM messages, after the server
    // answered "AUTH NTLM" with 334; the last reply read.
    SmtpReply authNtlmOwn(XString& username, XString& password, SmtpReply last, LogBase& log);
    // The token loop of a security package over this connection; the last
    // reply read.
    bool authenticateWithPackage(BrenvikSSPI& sspi, int index, XString& username, XString& password,
                                 SmtpReply& last, LogBase& log);
    // Cancels the exchange when the last reply says the server still waits
    // inside it.
    void abandonOpenExchange(const SmtpReply& last, LogBase& log);
    // The text of a 334 reply line after its code, without the line end;
    // false when it could not be copied whole.
    static bool replyArgument(const StringBuffer& line, StringBuffer& out);

    // ---- senders and the reader
    bool sendRaw(const char* bytes, uint32_t length, LogBase& log);
    // Recorded (the first kTranscriptSendBytes), then sent.
    bool sendLogged(const char* bytes, uint32_t length, LogBase& log);
    void recordSent(const char* bytes, uint32_t length);
    // The command, recorded as it shows itself when transcribed; false when
    // it did not go out (or could not be built).
    bool send(const SmtpCommand& command, LogBase& log);
    // Sends the command and reads its reply, logging as readReply does; a
    // command that did not go out gives a NotSent reply and no log.
    SmtpReply exchange(const SmtpCommand& command, int expectedCode, LogBase& log);
    // The one reader: a line or a whole reply within the time-out, noted in
    // the transcript and the outcome.
    SmtpReply receive(SmtpReply::Shape shape, std::chrono::milliseconds timeout, LogBase& log);
    SmtpReply receive(SmtpReply::Shape shape, LogBase& log) {
        return receive(shape, m_readTimeout, log);
    }
    // A whole reply; logs why it failed, or its last line when its code is
    // not the one expected.
    SmtpReply readReply(int expectedCode, LogBase& log) {
        return readReply(expectedCode, m_readTimeout, log);
    }
    SmtpReply readReply(int expectedCode, std::chrono::milliseconds timeout, LogBase& log);
    // A whole reply; logs all its text when its code is not the one expected.
    SmtpReply readReplyText(int expectedCode, LogBase& log);
    // A whole reply; logs its last line when that is no reply line or its
    // code is not the one expected.
    SmtpReply readReplyLast(int expectedCode, LogBase& log);
    // The first line alone, logging nothing: a SASL challenge.
    SmtpReply readReplyLine(LogBase& log) { return receive(SmtpReply::Shape::OneLine, log); }
    // Notes one received reply line in the outcome.
    void noteReplyLine(const StringBuffer& line);

    StringBuffer m_transcript;
    StringBuffer m_connectedHost;
    int m_connectedPort = 25;
    XString m_connectedUsername;
    XString m_connectedPassword;
    Socket2 m_socket;
    State m_state = State::NoSession;
    std::chrono::milliseconds m_readTimeout{30000};
    std::chrono::seconds m_connectTimeout{0};
    // A message whose text would be larger goes out streamed (the tests
    // lower it for every connection at once).
    static uint64_t s_streamAbove;
    // When the last write ended (or the connection was made), in platform
    // ticks: the reply to it must be complete within the read time-out
    // from then on.
    uint32_t m_replyClockStart = 0;
    uint32_t m_sendChunkSize = 32767;
    // The last reply read; what the public operations report as a time-out.
    SmtpReply m_lastRead;
    SmtpCapabilities m_capabilities;
    SessionOptions m_options;
    // The options the open connection was made under.
    SessionOptions m_connectedOptions;
    SmtpOutcome m_outcome;
    // The lines so far of a multi-line reply, for the outcome.
    std::string m_replySoFar;
    std::string m_authUsed;
};
