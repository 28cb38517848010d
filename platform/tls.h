#pragma once
// The client side of TLS over a connected, non-blocking TCP socket. The
// caller owns the socket and its readiness waits: every call does what it
// can without blocking and says what it waits for. The certificate is always
// checked and the outcome reported; whether a failed check ends the
// connection is the caller's decision.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sockets.h"

namespace platform {

struct TlsClientSettings {
    // The name the certificate must carry: a DNS name or an IP literal.
    std::string peerName;
    // Server Name Indication is sent for DNS names only, never for literals.
    bool sendServerName = true;
    // A PEM file of roots trusted besides the system's; empty for none.
    std::string extraRootsFile;
};

enum class TlsStatus {
    Done,       // the call completed
    WantRead,   // wait until the socket is readable, then call again
    WantWrite,  // wait until the socket is writable, then call again
    Closed,     // the peer ended the session (close_notify or end of stream)
    Failed,     // the session is unusable; the error text says why
};

enum class TlsCertificateCheck {
    Passed,
    Untrusted,     // no chain to a trusted root (self-signed, unknown issuer)
    NameMismatch,  // the certificate does not name the host connected to
    Expired,
    NotYetValid,
    NoCertificate,
    OtherProblem,
};

struct TlsSessionInfo {
    std::string version;  // "TLSv1.3"
    std::string cipher;   // "TLS_AES_256_GCM_SHA384"
    std::string peerSubject;
    std::string peerIssuer;
    TlsCertificateCheck check = TlsCertificateCheck::NoCertificate;
    std::string checkText;  // the verifier's own words for a failed check
};

class TlsClientSession {
  public:
    virtual ~TlsClientSession() = default;
    virtual TlsStatus handshake(std::string& error) = 0;
    // got becomes the number of bytes read (Done only when it is above 0).
    virtual TlsStatus read(void* buffer, uint32_t size, uint32_t& got, std::string& error) = 0;
    // sent becomes the number of bytes taken (Done only when it is above 0).
    virtual TlsStatus write(const void* data, uint32_t size, uint32_t& sent,
                            std::string& error) = 0;
    // Sends close_notify if it can without waiting.
    virtual void close() = 0;
    // After a completed handshake.
    virtual TlsSessionInfo info() const = 0;
};

// Whether this build can speak TLS at all.
bool tlsAvailable();

// A session over the socket, handshake not yet started; null (with the
// reason in error) when TLS cannot be set up, e.g. the extra roots file
// cannot be read.
std::unique_ptr<TlsClientSession> startTlsClient(SocketHandle socket,
                                                 const TlsClientSettings& settings,
                                                 std::string& error);

}  // namespace platform
