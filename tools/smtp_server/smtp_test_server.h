#pragma once
// Two small SMTP servers on 127.0.0.1, each on its own thread:
//  - CaptureServer, a minimal but correct server that records every
//    envelope, message text and command, for the sample host and for tests;
//  - FaultServer, which plays a fixed script of reads and writes, for exact
//    failure scenarios (split replies, silence, disconnects, huge lines).
// Both use the platform socket service, so they run on Windows too, and
// every wait is bounded, so a broken client never hangs them. Both speak
// TLS on request (STARTTLS or from the first byte), through tls_server.h;
// not in the Windows build, which has no OpenSSL.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"

namespace smtptest {

class TlsServerContext;

// ---------------------------------------------------------------- capture server

struct CaptureOptions {
    std::string hostName = "capture.localhost";
    // AUTH is offered only when a username is set.
    std::string username;
    std::string password;
    bool offerLogin = true;
    bool offerPlain = true;
    bool offerCramMd5 = true;
    // MAIL FROM is refused with 530 until a login succeeded.
    bool requireAuth = false;
    // RCPT TO for these addresses is refused with 550.
    std::vector<std::string> rejectRecipients;
    // The CRAM-MD5 challenge; a unique one is made when empty.
    std::string cramChallenge;
    // A connection that stays silent this long is closed.
    uint32_t idleTimeoutMs = 10000;
    // Message text beyond this is refused with 552.
    size_t maxMessageBytes = 64u * 1024 * 1024;
    // StartTls offers STARTTLS in EHLO until TLS is on; Implicit speaks TLS
    // from the first byte, as on port 465.
    enum class Tls { Off, StartTls, Implicit };
    Tls tls = Tls::Off;
    // PEM files of the certificate chain and its key; a throwaway
    // self-signed certificate for localhost and 127.0.0.1 when empty.
    std::string tlsCertFile;
    std::string tlsKeyFile;
    // AUTH is offered and taken only under TLS; before it, 530.
    bool requireTlsForAuth = false;
};

struct CapturedMessage {
    std::string mailFrom;
    std::vector<std::string> recipients;
    std::string data;      // dot-unstuffed, CR LF line ends, without the final "."
    std::string authUser;  // empty when the session did not log in
    int connection = 0;    // 1 for the first connection accepted
    std::string tls;       // e.g. "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty without TLS
};

class CaptureServer {
  public:
    explicit CaptureServer(CaptureOptions options = CaptureOptions());
    ~CaptureServer();
    CaptureServer(const CaptureServer&) = delete;
    CaptureServer& operator=(const CaptureServer&) = delete;

    // Listens on an ephemeral port of 127.0.0.1 and starts serving; false
    // with the reason in startError().
    bool start();
    std::string startError() const { return m_startError; }
    void stop();
    uint16_t port() const { return m_port; }

    std::vector<CapturedMessage> messages() const;
    // Every line exchanged, "C: " for the client's and "S: " for ours, each
    // ending in "\n"; message text is not included. "S: <TLSv1.3 ...>"
    // marks a finished handshake, "S: <TLS handshake failed: ...>" a failed one.
    std::string transcript() const;
    int connections() const { return m_connections.load(); }
    int successfulLogins() const { return m_logins.load(); }
    int failedLogins() const { return m_failedLogins.load(); }
    // Waits until at least n messages arrived.
    bool waitForMessages(size_t n, uint32_t timeoutMs) const;

  private:
    void run();
    void serve(platform::SocketHandle conn, int number);

    CaptureOptions m_options;
    std::shared_ptr<TlsServerContext> m_tls;
    std::string m_startError;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_logins{0};
    std::atomic<int> m_failedLogins{0};
    mutable std::mutex m_mutex;
    std::vector<CapturedMessage> m_messages;
    std::string m_transcript;
    friend class CaptureSession;
};

// ---------------------------------------------------------------- fault server

struct FaultStep {
    enum class Kind {
        Accept,       // take the next connection (the script starts with one)
        Expect,       // read a line; it must begin with text
        ExpectBytes,  // read exactly count bytes, line ends or not
        Send,         // write the chunks, pausing pauseMs between them
        Silence,      // neither read nor write for pauseMs
        Close,        // orderly close
        Reset,        // close with a reset
        HugeLine,     // write count bytes with no line end
        Message,      // read lines up to a lone "."; recorded as sent (CR LF, dots)
        ExpectClose,  // the client closes the connection without sending more
        StartTls,     // server handshake; TLS from here to the next Accept
        EndTls,       // close_notify; the TCP connection stays open
    };
    Kind kind = Kind::Send;
    std::string text;
    std::vector<std::string> chunks;
    uint32_t pauseMs = 0;
    size_t count = 0;
    bool mayFail = false;  // a send the client may no longer be there for, or a
                           // handshake the client may abort
};

class FaultScript {
  public:
    FaultScript& acceptNext();
    FaultScript& expect(const std::string& prefix);
    FaultScript& expectBytes(size_t count);
    // Sends the text as it is (give the "\r\n" yourself).
    FaultScript& send(const std::string& bytes);
    // Sends the text unless the client has gone (a late answer, say).
    FaultScript& sendIfOpen(const std::string& bytes);
    // Sends the pieces as separate writes with a pause between them.
    FaultScript& sendSplit(const std::vector<std::string>& pieces, uint32_t pauseMs);
    FaultScript& silence(uint32_t ms);
    FaultScript& close();
    FaultScript& reset();
    FaultScript& hugeLine(size_t bytes);
    FaultScript& expectMessage();
    FaultScript& expectClose();
    // The server side of a TLS handshake; later reads and writes go through
    // TLS until the next acceptNext. A failed handshake fails the script,
    // unless the client may abort it: then the script ends there quietly
    // (a time-out fails it all the same).
    FaultScript& startTls(bool clientMayAbort = false);
    // Ends the TLS session with close_notify but leaves the connection
    // open, as a server that waits for the client's close_notify does.
    FaultScript& endTls();

    // The same steps from text, one per line ("#" starts a comment):
    //   C: PREFIX        expect a line beginning with PREFIX
    //   S: TEXT          send TEXT followed by CR LF
    //   S+: TEXT         send TEXT without CR LF
    //   S?: TEXT         send TEXT followed by CR LF if the client is still there
    //   S?+: TEXT        send TEXT without CR LF if the client is still there
    //   SPLIT MS: A|B|C  send A, B and C as separate writes MS ms apart
    //   BYTES N          expect N bytes
    //   SILENT MS, CLOSE, RESET, ACCEPT, HUGE N
    //   MESSAGE          read the message text after DATA, up to the lone "."
    //   CLOSED           the client closes the connection and sends nothing more
    //   TLS              TLS handshake, server side (a failure fails the script);
    //                    TLS from here on, until the next ACCEPT
    //   TLS?             the same, but a client that aborts the handshake (a
    //                    refused certificate, say) ends the script quietly; a
    //                    handshake that does not finish in time still fails it
    //   TLS-END          close_notify, the connection left open
    // In TEXT, "\r", "\n", "\t", "\|" and "\\" stand for themselves, "\xHH" for that byte.
    // False with the offending line in error when a line is not understood.
    static bool parse(const std::string& text, FaultScript& out, std::string& error);

    const std::vector<FaultStep>& steps() const { return m_steps; }

  private:
    std::vector<FaultStep> m_steps;
};

class FaultServer {
  public:
    explicit FaultServer(FaultScript script, uint32_t ioTimeoutMs = 10000);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    // The certificate a TLS step presents (PEM files of the chain and its
    // key); a throwaway self-signed one for localhost and 127.0.0.1 by
    // default. Set before start().
    void setTlsFiles(const std::string& certPem, const std::string& keyPem);
    // Listen on [::1] instead of 127.0.0.1 (call before start).
    void listenOnIPv6() { m_ipv6 = true; }

    bool start();
    uint16_t port() const { return m_port; }
    // Waits for the script to end (at most timeoutMs); true when it ran to
    // its end without a mismatch.
    bool finish(uint32_t timeoutMs = 15000);
    // Why the script stopped early; empty when it did not.
    std::string failure() const;
    // Each line or byte run the server read, in order (decrypted under TLS).
    std::vector<std::string> received() const;
    // Each completed handshake's version and cipher, in order, e.g.
    // "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::vector<std::string> tlsSessions() const;
    // The name each of those handshakes asked for (SNI); empty for none.
    std::vector<std::string> tlsServerNames() const;

  private:
    void run();

    FaultScript m_script;
    uint32_t m_ioTimeoutMs;
    std::string m_tlsCertFile, m_tlsKeyFile;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    mutable std::mutex m_mutex;
    std::string m_failure;
    std::vector<std::string> m_received;
    std::vector<std::string> m_tlsSessions;
    std::vector<std::string> m_tlsServerNames;
    bool m_ipv6 = false;
};

// Standard base64, kept here so that the servers do not judge the client
// with the client's own encoder.
std::string base64Encode(const std::string& bytes);
// False on characters outside the alphabet or a bad length.
bool base64Decode(const std::string& text, std::string& out);

}  // namespace smtptest
