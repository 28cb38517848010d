#include "net/brenvik_socket.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "diag/log_base.h"
#include "net/hostname_resolve.h"
#include "platform/clock.h"
#include "text/data_buffer.h"

namespace {

// Start-up is attempted once per process, whatever its outcome.
std::atomic<bool> g_startupNeeded{true};

uint16_t versionWord(int major, int minor) {
    return static_cast<uint16_t>((major & 0xFF) | ((minor & 0xFF) << 8));
}

void logStartupError(int code, LogBase& log) {
    switch (code) {
        case 10091:
            log.LogError(
                "The underlying network subsystem is not ready for network communication.");
            break;
        case 10092:
            log.LogError(
                "The version of Windows Sockets support requested is not provided by this "
                "particular Windows Sockets implementation.");
            break;
        case 10036:
            log.LogError("A blocking Windows Sockets 1.1 operation is in progress.");
            break;
        case 10067:
            log.LogError(
                "Limit on the number of tasks supported by the Windows Sockets implementation "
                "has been reached.");
            break;
        case 10014:
            log.LogError("The lpWSAData is not a valid pointer.");
            break;
        default: {
            char text[64];
            std::snprintf(text, sizeof(text), "WSAStartup error: 0x%x",
                          static_cast<unsigned>(code));
            log.LogError(text);
        }
    }
}

struct ErrorText {
    int code;
    const char* text;
};

const ErrorText kErrorTexts[] = {
    {10093, "WSANOTINITIALISED A successful WSAStartup must occur before using this function."},
    {10035, "WSAEWOULDBLOCK The socket would block."},
    {10053,
     "WSAECONNABORTED An established connection was aborted by the software in your host machine."},
    {10050, "WSAENETDOWN The network subsystem or the associated service provider has failed."},
    {10047, "WSAEAFNOSUPPORT The specified address family is not supported."},
    {10036,
     "WSAEINPROGRESS A blocking Windows Sockets 1.1 call is in progress, or the service provider "
     "is still processing a callback function."},
    {10024, "WSAEMFILE No more socket descriptors are available."},
    {10055, "WSAENOBUFS No buffer space is available. The socket cannot be created."},
    {10043, "WSAEPROTONOSUPPORT The specified protocol is not supported."},
    {10041, "WSAEPROTOTYPE The specified protocol is the wrong type for this socket."},
    {10044,
     "WSAESOCKTNOSUPPORT The specified socket type is not supported in this address family."},
    {10051, "WSAENETUNREACH A socket operation was attempted to an unreachable network."},
    {10060,
     "WSAETIMEDOUT A connection attempt failed because the connected party did not properly "
     "respond after a period of time, or established connection failed because connected host "
     "has failed to respond."},
    {10061,
     "WSAECONNREFUSED No connection could be made because the target machine actively refused it."},
    {10054, "WSAECONNRESET An existing connection was forcibly closed by the remote host."},
    {10048,
     "WSAEADDRINUSE Only one usage of each socket address (protocol/network address/port) is "
     "normally permitted."},
    {10013,
     "WSAEACCES An attempt was made to access a socket in a way forbidden by its access "
     "permissions."},
    {10022, "WSAEINVAL An invalid argument was supplied."},
    {10106,
     "WSAEPROVIDERFAILEDINIT The requested service provider could not be loaded or initialized."},
};

void logUnsigned(LogBase& log, const char* name, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%u", value);
    log.LogData(name, text);
}

// The second lookup attempt: the name without characters that often stick to
// a host name copied from an address or URL, lower-cased.
void cleanForRetry(const char* name, StringBuffer& out) {
    out.setString(name ? name : "");
    for (char c : std::string(" \t\r\n'\"<>:/@?")) out.removeChar(c);
    out.toLowerCase();
}

enum Attempt { kFound, kNotFound, kNoMemory };

Attempt lookUpOnce(const char* name, uint32_t timeoutMs, LogBase& log,
                   std::vector<platform::IpAddress>& addresses) {
    HostnameResolve* r = HostnameResolve::createNew();
    if (!r) return kNoMemory;
    bool timedOut = false;
    bool ok = r->resolve(name, timeoutMs, log, addresses, timedOut);
    r->decRefCount();
    return ok && !addresses.empty() ? kFound : kNotFound;
}

// "127.0.0.1:25" or "[::1]:25".
std::string addressAndPort(const platform::IpAddress& a, uint16_t port) {
    const std::string ip = platform::formatIpAddress(a);
    return (a.family == platform::AddressFamily::IPv6 ? "[" + ip + "]" : ip) + ":" +
           std::to_string(port);
}

void logConnectFailed(const platform::IpAddress& a, uint16_t port, const std::string& why,
                      LogBase& log) {
    log.LogData("connectFailed", (addressAndPort(a, port) + ": " + why).c_str());
}

}  // namespace

BrenvikSocket::BrenvikSocket() {
    LogNull quiet;
    startWinsock(quiet);
}

BrenvikSocket::~BrenvikSocket() {
    LogNull quiet;
    closeSocket(quiet);
}

bool BrenvikSocket::startWinsock(LogBase& log) {
    if (!g_startupNeeded.exchange(false)) return true;
    int rc = platform::socketsStartup(versionWord(9, 9));
    if (rc == platform::wsa::kVersionNotSupported) {
        int major = 5;
        int minor = 1;
        for (;;) {
            rc = platform::socketsStartup(versionWord(major, minor));
            if (rc != platform::wsa::kVersionNotSupported || (major == 1 && minor == 0)) break;
            if (minor == 0) {
                --major;
                minor = 9;
            } else {
                --minor;
            }
        }
        if (rc == 0) {
            char text[64];
            std::snprintf(text, sizeof(text), "Using ws2_32.dll version %d,%d", major, minor);
            log.LogData("ws2_32_DLL_Version", text);
        }
    }
    if (rc == 0) return true;
    logStartupError(rc, log);
    return false;
}

void BrenvikSocket::resetStartupForTesting() {
    g_startupNeeded.store(true);
}

void BrenvikSocket::logSocketError(int code, LogBase& log) {
    for (const ErrorText& e : kErrorTexts) {
        if (e.code != code) continue;
        log.LogData("SocketError", e.text);
        if (code == platform::wsa::kWouldBlock)
            log.LogInfo(
                "See "
                "https://learn.microsoft.com/windows/win32/winsock/windows-sockets-error-codes-2 "
                "for the meaning of Winsock error codes.");
        if (code == platform::wsa::kProviderFailedInit) startWinsock(log);
        return;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "Error 0x%x", static_cast<unsigned>(code));
    log.LogData("SocketError", text);
    log.LogError(
        "Check to make sure the connection is not blocked by a firewall or anti-virus port "
        "filtering.");
}

bool BrenvikSocket::dnsLookup(const char* host, uint32_t timeoutMs, LogBase& log,
                              std::vector<platform::IpAddress>& addresses, bool& timedOut) {
    timedOut = false;
    addresses.clear();
    startWinsock(log);
    uint32_t start = platform::tickCount();

    // What is left of the time-out for the next attempt; false once it is used up.
    auto timeLeft = [&](uint32_t& next) {
        next = 0;
        if (timeoutMs == 0) return true;
        uint32_t spent = platform::tickCount() - start;
        if (spent >= timeoutMs) {
            timedOut = true;
            log.LogError("DNS timed out.");
            return false;
        }
        next = timeoutMs - spent;
        return true;
    };

    Attempt a = lookUpOnce(host, timeoutMs, log, addresses);
    if (a == kNoMemory) {
        log.LogError("Memory allocation failure.");
        return false;
    }
    if (a == kFound) return true;
    uint32_t next = 0;
    if (!timeLeft(next)) return false;

    StringBuffer cleaned;
    cleanForRetry(host, cleaned);
    StringBuffer original(host ? host : "");
    if (cleaned.length() != original.length()) {
        a = lookUpOnce(cleaned.getString(), next, log, addresses);
        if (a == kFound) return true;
        if (a == kNoMemory) {
            log.LogError("Memory allocation error");
            return false;
        }
        if (!timeLeft(next)) return false;
    }

    if (cleaned.countChar('.') == 1) {
        cleaned.prepend("www.");
        a = lookUpOnce(cleaned.getString(), next, log, addresses);
        if (a == kFound) return true;
        if (a == kNoMemory) {
            log.LogError("Memory allocation error");
            return false;
        }
        // A last attempt cut short by the time-out counts as a time-out too.
        timeLeft(next);
    }
    return false;
}

bool BrenvikSocket::createSocket(platform::AddressFamily family, LogBase& log, int& err) {
    startWinsock(log);
    if (m_handle != platform::kInvalidSocket) closeSocket(log);
    m_handle = platform::openTcpSocket(family, err);
    if (m_handle == platform::kInvalidSocket) {
        logSocketError(err, log);
        return false;
    }
    // Commands and the end-of-data line are short writes that must not wait
    // for the acknowledgement of the write before them.
    platform::setNoDelay(m_handle);
    return true;
}

// The share of the time left for each address still to try, but never less
// than kMinAttemptMs (or all that is left, when less): an address that drops
// the connect attempt (a black hole) cannot use up the time of the ones after
// it, and a slow but working one still gets a fair wait. What one attempt
// does not use, because it failed at once, goes to the next.
uint32_t BrenvikSocket::attemptTimeoutMs(uint32_t left, size_t addressesLeft) {
    if (addressesLeft <= 1) return left;
    const uint32_t share = static_cast<uint32_t>(left / addressesLeft);
    return std::max(share, std::min(kMinAttemptMs, left));
}

bool BrenvikSocket::tryAddress(const platform::IpAddress& addr, uint16_t port, uint32_t timeoutMs,
                               const StringBuffer& name, LogBase& log, int& err, bool& timedOut,
                               bool& noSocket) {
    timedOut = false;
    noSocket = false;
    err = 0;
    if (!createSocket(addr.family, log, err) || m_handle == platform::kInvalidSocket) {
        noSocket = true;
        return false;
    }

    // The socket stays non-blocking for its whole life: every wait is a
    // readiness wait with its time-out, and no call switches the mode.
    int ignored = 0;
    platform::setNonBlocking(m_handle, true, ignored);
    if (platform::connectTo(m_handle, addr, port, err)) return true;

    if (err != platform::wsa::kWouldBlock) {
        if (err == platform::wsa::kInvalid) {
            log.LogDataSb("IP_Address", m_remoteIp);
            if (addr.family == platform::AddressFamily::IPv4) log.LogDataHex("ipAddr", addr.ipv4());
            log.LogDataSb("Hostname", name);
            log.LogDataInt64("SocketHandle", static_cast<int64_t>(m_handle));
        }
        log.LogDataLong("sockError", err);
    } else {
        // No connect time-out (0) waits without a limit.
        int ready = waitWritable(timeoutMs, log, true);
        if (ready == 1) {
            // Finished is not connected: a refused connect ends here too.
            // A reset means the connection was made and then dropped (the
            // server let us in and went away): the first read reports it.
            int pending = platform::pendingError(m_handle);
            if (pending == 0 || pending == platform::wsa::kConnReset) return true;
            err = pending;
        } else if (ready == 0) {
            timedOut = true;
        }
    }
    LogNull quiet;
    closeSocket(quiet);
    return false;
}

bool BrenvikSocket::connectSocket(const char* host, int port, LogBase& log, bool& lookupFailed) {
    lookupFailed = false;
    m_connectFailReason = kConnectOk;
    m_remoteIp.clear();
    if (!host) {
        m_connectFailReason = kConnectNoHost;
        log.LogError("Cannot connect, hostname is NULL");
        return false;
    }
    StringBuffer name(host);
    name.trim();
    if (name.isEmpty()) {
        m_connectFailReason = kConnectNoHost;
        log.LogError("Cannot connect, hostname is zero length");
        return false;
    }
    if (name.equalsIgnoreCase("localhost")) name.setString("127.0.0.1");

    // An IPv6 address has colons of its own, so it is recognised before the
    // lookup cuts a host at its first ':'. "[v6]:port" names its port, and
    // that port wins over the one the caller configured: it is the more
    // specific of the two. A bare "host:port" keeps its old meaning: the
    // lookup drops the ":port" and the configured port is used.
    platform::IpAddress literal;
    int literalPort = -1;
    const Ipv6Host v6 = parseIPv6Host(name.getString(), literal, literalPort);
    if (v6 == Ipv6Host::Malformed) {
        lookupFailed = true;
        log.LogError("Invalid IPv6 address literal.");
        log.LogError("Cannot get host by name..");
        log.LogDataSb("hostname", name);
        m_connectFailReason = kConnectLookupFailed;
        return false;
    }
    if (literalPort >= 0) port = literalPort;
    // Only the low 16 bits of the port reach the wire, as with htons.
    uint16_t wirePort = static_cast<uint16_t>(port);

    startWinsock(log);
    std::vector<platform::IpAddress> addresses;
    uint32_t addr = platform::parseIPv4(name.getString());
    if (v6 == Ipv6Host::Literal) {
        addresses.push_back(literal);
    } else if (addr != platform::kAddrNone) {
        addresses.push_back(platform::IpAddress::v4(addr));
    } else {
        uint32_t start = platform::tickCount();
        bool timedOut = false;
        bool found = dnsLookup(name.getString(), m_connectTimeoutMs, log, addresses, timedOut);
        if (!found || addresses.empty()) {
            lookupFailed = true;
            log.LogError("Cannot get host by name..");
            log.LogDataSb("hostname", name);
            m_connectFailReason = timedOut ? kConnectLookupTimedOut : kConnectLookupFailed;
            return false;
        }
        if (m_connectTimeoutMs != 0 && platform::tickCount() - start >= m_connectTimeoutMs) {
            m_connectFailReason = kConnectLookupTimedOut;
            log.LogError("Application timeout after DNS");
            return false;
        }
    }

    // The connect time-out covers all attempts together, counted from here
    // as it was for the single address of old.
    const uint32_t start = platform::tickCount();
    int err = 0;
    bool timedOut = false;
    bool anySocket = false;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const platform::IpAddress& a = addresses[i];
        m_remoteIp.setString(platform::formatIpAddress(a).c_str());
        uint32_t wait = 0;  // no limit
        if (m_connectTimeoutMs != 0) {
            const uint32_t spent = platform::tickCount() - start;
            if (spent >= m_connectTimeoutMs) {
                // Still one entry per address: the ones never tried say so.
                for (size_t j = i; j < addresses.size(); ++j)
                    logConnectFailed(addresses[j], wirePort,
                                     "not tried, the connect time-out ran out", log);
                timedOut = true;
                break;
            }
            wait = attemptTimeoutMs(m_connectTimeoutMs - spent, addresses.size() - i);
        }
        bool attemptTimedOut = false;
        bool noSocket = false;
        int attemptErr = 0;
        if (tryAddress(a, wirePort, wait, name, log, attemptErr, attemptTimedOut, noSocket)) {
            m_connected = true;
            return true;
        }
        err = attemptErr;
        timedOut = attemptTimedOut;
        anySocket = anySocket || !noSocket;
        logConnectFailed(a, wirePort,
                         attemptTimedOut ? "timed out after " + std::to_string(wait) + " ms"
                                         : platform::socketErrorText(err),
                         log);
    }

    if (!anySocket) {
        m_connectFailReason = kConnectNoSocket;
        log.LogError("Cannot connect, invalid socket.");
        return false;
    }
    if (timedOut) {
        logUnsigned(log, "ConnectTimeoutMs", m_connectTimeoutMs);
        m_connectFailReason = kConnectTimedOut;
    } else {
        m_connectFailReason = kConnectFailed;
    }
    log.LogError("Connect function failed.");
    logSocketError(err, log);
    return false;
}

// 1 writable, 0 timed out, -1 error. Waiting for a connect, a failed one
// counts as writable too.
int BrenvikSocket::waitWritable(uint32_t timeoutMs, LogBase& log, bool forConnect) {
    if (m_handle == platform::kInvalidSocket) {
        log.LogError("invalid socket, not ready for writing.");
        return -1;
    }
    int err = 0;
    uint32_t ms = timeoutMs ? timeoutMs : kNoLimitMs;
    int r = forConnect ? platform::selectConnected(m_handle, ms, err)
                       : platform::selectWritable(m_handle, ms, err);
    if (r == 0) log.LogError("socket is not ready for writing");
    if (r < 0) log.LogError("select returned a socket error");
    return r;
}

bool BrenvikSocket::waitReadable(uint32_t timeoutMs, LogBase& log, bool& timedOut,
                                 bool& socketError) {
    if (m_handle == platform::kInvalidSocket) {
        log.LogError("Invalid socket.");
        socketError = true;
        return false;
    }
    uint32_t total = timeoutMs ? timeoutMs : kNoLimitMs;
    // Two waits: half the time, then the rest.
    uint32_t first = total / 2 < 50 ? 50 : total / 2;
    uint32_t steps[2] = {first, total > first ? total - first : 0};
    for (uint32_t step : steps) {
        int err = 0;
        int r = platform::selectReadable(m_handle, step, err);
        if (r == 1) return true;
        if (r < 0) {
            log.LogError("Error waiting for socket to become ready for reading.");
            socketError = true;
            closeSocket(log);
            return false;
        }
    }
    log.LogError("Timeout waiting to read socket or accept connection");
    logUnsigned(log, "timeoutMs", total);
    timedOut = true;
    return false;
}

uint32_t BrenvikSocket::sendChunkSize(uint32_t requested) {
    if (requested == 0) return 32767;
    if (requested < 1000) return 1000;
    if (requested > 2000000) return 2000000;
    return requested;
}

bool BrenvikSocket::SendBytes2(const unsigned char* data, uint32_t length, uint32_t chunkSize,
                               LogBase& log, ProgressMonitor*) {
    uint32_t chunk = sendChunkSize(chunkSize);
    if (m_handle == platform::kInvalidSocket) {
        log.LogError("No socket exists for sending (2)");
        return false;
    }
    m_lastSendError = 0;
    if (!data) length = 0;
    int err = 0;
    while (length > 0) {
        uint32_t n = length < chunk ? length : chunk;
        long sent = platform::sendSome(m_handle, data, n, err);
        if (sent < 0) {
            if (err != platform::wsa::kWouldBlock) {
                m_lastSendError = static_cast<uint32_t>(err);
                logSocketError(err, log);
                log.LogError("Error sending on socket");
                log.LogDataLong("send_size", static_cast<int32_t>(n));
                closeSocket(log);
                return false;
            }
            if (waitWritable(m_idleTimeoutMs, log) != 1) {
                logUnsigned(log, "idleTimeoutMs", m_idleTimeoutMs);
                log.LogError("Socket send idle timeout");
                return false;
            }
            continue;
        }
        if (sent == 0) {
            platform::sleepMs(10);
            continue;
        }
        data += sent;
        length -= static_cast<uint32_t>(sent);
    }
    return true;
}

bool BrenvikSocket::receiveChunk(unsigned char* buffer, uint32_t& length, LogBase& log,
                                 ProgressMonitor*, bool& timedOut, bool& socketError,
                                 bool& closed) {
    timedOut = false;
    socketError = false;
    closed = false;
    uint32_t requested = length;
    length = 0;
    if (m_handle == platform::kInvalidSocket) {
        log.LogError("This socket is not connected");
        socketError = true;
        m_connected = false;
        return false;
    }
    if (!buffer || requested == 0) return true;  // nothing asked, nothing read
    int err = 0;
    long got = -1;
    // Readable can still find nothing to read (a spurious wake-up): wait again.
    for (int waits = 0; waits < 3; ++waits) {
        if (!waitReadable(m_idleTimeoutMs, log, timedOut, socketError)) return false;
        got = platform::recvSome(m_handle, buffer, requested, err);
        if (got >= 0 || err != platform::wsa::kWouldBlock) break;
    }
    if (got == 0) {
        log.LogDataLong("numBytesRequested", static_cast<int32_t>(requested));
        log.LogError("Connection closed by server.");
        closeSocket(log);
        closed = true;
        return false;
    }
    if (got < 0) {
        std::string text = "SOCKET_ERROR: " + platform::socketErrorText(err);
        log.LogError(text.c_str());
        log.LogDataLong("numBytesRequested", static_cast<int32_t>(requested));
        log.LogError("Failed to receive data on the TCP socket");
        socketError = true;
        m_connected = false;
        return false;
    }
    length = static_cast<uint32_t>(got);
    return true;
}

bool BrenvikSocket::receivePacket(DataBuffer& out, uint32_t maxBytes, LogBase& log,
                                  ProgressMonitor* pm, bool& timedOut, bool& socketError,
                                  bool& closed) {
    if (maxBytes == 0) maxBytes = 1;
    if (maxBytes > 1000000) maxBytes = 1000000;
    std::unique_ptr<unsigned char[]> tmp(new (std::nothrow) unsigned char[maxBytes]);
    if (!tmp) {
        timedOut = closed = false;
        socketError = true;
        log.LogError("Memory allocation failure.");
        return false;
    }
    uint32_t n = maxBytes;
    if (!receiveChunk(tmp.get(), n, log, pm, timedOut, socketError, closed)) return false;
    if (n == 0) return false;
    return out.append(tmp.get(), n);
}

void BrenvikSocket::closeSocket(LogBase&) {
    if (m_handle != platform::kInvalidSocket) {
        platform::shutdownBoth(m_handle);
        platform::closeSocketHandle(m_handle);
        m_handle = platform::kInvalidSocket;
    }
    m_connected = false;
}

bool BrenvikSocket::getLocalHostname(StringBuffer& out, LogBase& log) {
    out.clear();
    if (!startWinsock(log)) {
        log.LogError("WSA startup failed for getting local hostname");
        return false;
    }
    std::string name;
    int err = 0;
    if (!platform::localHostName(name, err)) {
        logSocketError(err, log);
        return true;
    }
    out.setString(name.c_str());

    platform::HostEntry entry;
    bool found = platform::resolveHost(name.c_str(), entry);
    StringBuffer cleaned;
    cleanForRetry(name.c_str(), cleaned);
    if (!found && cleaned.length() != name.size())
        found = platform::resolveHost(cleaned.getString(), entry);
    if (!found && cleaned.countChar('.') == 1) {
        cleaned.prepend("www.");
        found = platform::resolveHost(cleaned.getString(), entry);
    }
    if (found && !entry.officialName.empty()) {
        // The official name is kept to the size of the system's name buffer.
        if (entry.officialName.size() > 499) entry.officialName.resize(499);
        out.setString(entry.officialName.c_str());
    }
    return true;
}
