#pragma once
// The server side of TLS for the test SMTP servers, on OpenSSL. The bytes go
// through the platform socket calls (a BIO of our own), so the waits stay
// bounded and a vanished client raises no SIGPIPE. The Windows build has no
// OpenSSL: there every call fails with kNoTlsInBuild.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sockets.h"

namespace smtptest {

// Why a TLS step or option fails in a build without TLS.
extern const char* const kNoTlsInBuild;
bool tlsAvailable();

// A certificate and its key, shared by all connections of one server.
class TlsServerContext {
  public:
    // From PEM files: the chain (leaf first) and the leaf's key. With both
    // empty, a throwaway self-signed certificate for localhost and 127.0.0.1
    // (EC P-256, valid from an hour ago for a day, made once per process).
    // Null with the reason in error.
    static std::shared_ptr<TlsServerContext> create(const std::string& certFile,
                                                    const std::string& keyFile, std::string& error);
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    struct Impl;
    Impl* impl() const { return m_impl.get(); }

  private:
    TlsServerContext() = default;
    std::unique_ptr<Impl> m_impl;
};

// The throwaway certificate in PEM, for a client that is to trust it; empty
// without TLS.
std::string throwawayCertificatePem();

// TLS on one accepted, non-blocking socket. The socket stays the caller's:
// close() ends TLS, not the connection.
class TlsConnection {
  public:
    enum Result { kOk, kTimeout, kClosed, kStopped, kFailed };

    TlsConnection(std::shared_ptr<TlsServerContext> context, platform::SocketHandle s);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // The server handshake; on anything but kOk, error says why (OpenSSL's
    // reason where it has one).
    Result handshake(uint32_t timeoutMs, const std::atomic<bool>& stop, std::string& error);
    // Appends what arrives within timeoutMs (at least one byte when kOk).
    // kClosed covers the client's close_notify, a plain end of the stream and
    // a TLS error; error() tells them apart.
    Result read(std::string& out, uint32_t timeoutMs, const std::atomic<bool>& stop);
    bool write(const std::string& bytes, uint32_t timeoutMs, const std::atomic<bool>& stop);
    // Sends close_notify, best effort and without waiting for the client's.
    void close();

    // "TLSv1.3", "TLS_AES_256_GCM_SHA384"; empty before the handshake.
    std::string version() const;
    std::string cipher() const;
    // Both, as "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::string description() const;
    // The name the client asked for (SNI); empty when it sent none.
    std::string serverName() const;
    // The last failure's reason, empty when there was none.
    const std::string& error() const { return m_error; }

    struct Impl;

  private:
    std::unique_ptr<Impl> m_impl;
    std::string m_error;
};

}  // namespace smtptest
