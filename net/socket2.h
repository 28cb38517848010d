#pragma once
// The connection a line-oriented protocol talks through: one TCP socket,
// plain or under TLS, the caller's time-outs applied before each transfer,
// and reads up to a delimiter that keep what arrived after it for the next
// read.
#include <cstdint>
#include <memory>
#include <string>

#include "net/brenvik_socket.h"
#include "net/tls_layer.h"
#include "text/brenvik_object.h"
#include "text/data_buffer.h"
#include "text/string_buffer.h"

class LogBase;
class ProgressMonitor;

class Socket2 : public BrenvikObject {
  public:
    // A read up to a delimiter gives up when this much arrives without it,
    // so a hostile server cannot make the engine hold unbounded memory.
    static const uint32_t kMaxMatchBytes = 1024 * 1024;

    Socket2() = default;
    ~Socket2() override;
    Socket2(const Socket2&) = delete;
    Socket2& operator=(const Socket2&) = delete;

    bool connect(const char* host, int port, uint32_t connectTimeoutMs, LogBase& log,
                 bool& lookupFailed, ProgressMonitor* pm, int& failReason);
    bool SendBytes2(const unsigned char* data, uint32_t length, uint32_t chunkSize,
                    uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm);
    // Appends the bytes of one read of at most maxBytes.
    bool ReceiveBytes(DataBuffer& out, uint32_t maxBytes, uint32_t idleTimeoutMs, LogBase& log,
                      ProgressMonitor* pm, bool& timedOut, bool& socketError, bool& closed);
    // out becomes everything up to and including the first delimiter; zero
    // bytes arrive as spaces.
    // With totalTimeoutMs (0: none) the whole read must finish in that time,
    // counted from *countFrom (a tick count) when given, else from now, so a
    // peer that trickles bytes cannot hold the caller past it.
    bool receiveUntilMatch(const char* delimiter, StringBuffer& out, uint32_t idleTimeoutMs,
                           LogBase& log, ProgressMonitor* pm, bool& timedOut, bool& socketError,
                           bool& closed, uint32_t totalTimeoutMs = 0,
                           const uint32_t* countFrom = nullptr);
    // Forgets bytes received after the last delimiter.
    void discardBuffered() { m_leftOver.clear(); }

    // The TLS handshake on the connected socket, within timeoutMs. Bytes
    // received before it are dropped: they came in plain text and are no
    // part of the protected session. On failure the socket is closed;
    // localFailure says the session could not be set up on this side.
    bool startTls(const platform::TlsClientSettings& settings, uint32_t timeoutMs, LogBase& log,
                  std::string& error, bool& localFailure);
    // The session of the current connection; null on a plain one.
    const TlsLayer* tls() const { return m_tls.get(); }

    bool isConnected() const { return m_socket.isConnected(); }
    void close(LogBase& log);
    bool getLocalHostname(StringBuffer& out, LogBase& log);
    void logConnectionType(LogBase& log);

    void setIdleTimeoutMs(uint32_t ms);
    void setConnectTimeoutSecs(uint32_t secs) { m_socket.setConnectTimeoutSecs(secs); }

    uint32_t idleTimeoutMs() const { return m_idleTimeoutMs; }
    const StringBuffer& hostName() const { return m_hostName; }
    // Bytes received after the last matched delimiter.
    const DataBuffer& leftOver() const { return m_leftOver; }
    BrenvikSocket& socket() { return m_socket; }

  private:
    std::unique_ptr<TlsLayer> m_tls;
    DataBuffer m_leftOver;
    BrenvikSocket m_socket;
    StringBuffer m_hostName;
    uint32_t m_idleTimeoutMs = 30000;
};
