#pragma once
// One TCP stream socket with time-outs on connect, send and receive, and the
// translation of Winsock error numbers into log text.
#include <cstdint>
#include <vector>

#include "platform/sockets.h"
#include "text/brenvik_object.h"
#include "text/string_buffer.h"

class DataBuffer;
class LogBase;
// Optional byte counter of a running operation; nothing attaches one yet,
// so it is accepted and ignored.
class ProgressMonitor;

// Why the last connectSocket failed.
enum ConnectFailReason {
    kConnectOk = 0,
    kConnectNoHost = 1,
    kConnectLookupFailed = 2,
    kConnectLookupTimedOut = 3,
    kConnectNoSocket = 5,
    kConnectTimedOut = 6,
    kConnectFailed = 7,
};

class BrenvikSocket : public BrenvikObject {
  public:
    // A time-out of 0 ("no limit") is stored as this many ms, about 25 days.
    static const uint32_t kNoLimitMs = 2160000000u;

    BrenvikSocket();
    ~BrenvikSocket() override;
    BrenvikSocket(const BrenvikSocket&) = delete;
    BrenvikSocket& operator=(const BrenvikSocket&) = delete;

    // Process-wide start-up, attempted once per process; false when it failed.
    static bool startWinsock(LogBase& log);
    // Makes the next startWinsock try again.
    static void resetStartupForTesting();

    static void logSocketError(int winsockError, LogBase& log);

    // Name to its addresses, IPv6 and IPv4 in the resolver's order, within
    // timeoutMs (0: no limit), with a cleaned and a "www." retry.
    static bool dnsLookup(const char* host, uint32_t timeoutMs, LogBase& log,
                          std::vector<platform::IpAddress>& addresses, bool& timedOut);

    // Connects to the first address of host that takes the connection,
    // trying them in order within the connect time-out, which is the limit
    // for all attempts together (see attemptTimeoutMs). host may be a name,
    // a dotted IPv4 address, or an IPv6 address: "::1", "[::1]", or
    // "[::1]:2525", whose port replaces the one given.
    bool connectSocket(const char* host, int port, LogBase& log, bool& lookupFailed);

    // The longest wait for one connect attempt when left ms of the connect
    // time-out remain and addressesLeft addresses are still to be tried.
    static uint32_t attemptTimeoutMs(uint32_t left, size_t addressesLeft);
    // Every attempt may wait this long, unless less time is left.
    static constexpr uint32_t kMinAttemptMs = 1000;

    bool SendBytes2(const unsigned char* data, uint32_t length, uint32_t chunkSize, LogBase& log,
                    ProgressMonitor* pm);
    // The chunk size SendBytes2 uses for a requested one.
    static uint32_t sendChunkSize(uint32_t requested);

    // One recv of at most length bytes; length becomes the count received.
    bool receiveChunk(unsigned char* buffer, uint32_t& length, LogBase& log, ProgressMonitor* pm,
                      bool& timedOut, bool& socketError, bool& closed);
    // Appends what one receiveChunk of at most maxBytes brought.
    bool receivePacket(DataBuffer& out, uint32_t maxBytes, LogBase& log, ProgressMonitor* pm,
                       bool& timedOut, bool& socketError, bool& closed);

    void closeSocket(LogBase& log);
    bool isConnected() const { return m_connected; }

    // The local machine's official host name, or its plain name when no
    // lookup finds it; false only when start-up failed.
    static bool getLocalHostname(StringBuffer& out, LogBase& log);

    void setIdleTimeoutMs(uint32_t ms) { m_idleTimeoutMs = ms ? ms : kNoLimitMs; }
    void setConnectTimeoutSecs(uint32_t secs) { m_connectTimeoutMs = secs * 1000; }
    void setConnectTimeoutMs(uint32_t ms) { m_connectTimeoutMs = ms; }
    uint32_t idleTimeoutMs() const { return m_idleTimeoutMs; }
    uint32_t connectTimeoutMs() const { return m_connectTimeoutMs; }
    uint32_t lastSendError() const { return m_lastSendError; }
    const StringBuffer& remoteIp() const { return m_remoteIp; }
    int connectFailReason() const { return m_connectFailReason; }

    // Readiness waits, also for a TLS layer above: 1 ready, 0 timed out, -1
    // error; readable is false (timedOut or socketError set) when not ready.
    int waitWritable(uint32_t timeoutMs, LogBase& log, bool forConnect = false);
    bool waitReadable(uint32_t timeoutMs, LogBase& log, bool& timedOut, bool& socketError);
    platform::SocketHandle handle() const { return m_handle; }

  private:
    bool createSocket(platform::AddressFamily family, LogBase& log, int& err);
    // One connect attempt, waiting at most timeoutMs (0: no limit). On
    // failure the socket is closed and err holds the Winsock error.
    bool tryAddress(const platform::IpAddress& addr, uint16_t port, uint32_t timeoutMs,
                    const StringBuffer& name, LogBase& log, int& err, bool& timedOut,
                    bool& noSocket);

    bool m_connected = false;
    platform::SocketHandle m_handle = platform::kInvalidSocket;
    uint32_t m_idleTimeoutMs = 30000;
    uint32_t m_connectTimeoutMs = 7000;
    uint32_t m_lastSendError = 0;
    StringBuffer m_remoteIp;
    int m_connectFailReason = 0;
};
