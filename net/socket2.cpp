#include "net/socket2.h"

#include "diag/log_base.h"
#include "platform/clock.h"
#include "text/memory.h"

Socket2::~Socket2() {
    LogNull quiet;
    close(quiet);
}

bool Socket2::connect(const char* host, int port, uint32_t connectTimeoutMs, LogBase& log,
                      bool& lookupFailed, ProgressMonitor*, int& failReason) {
    m_tls.reset();
    m_hostName.setString(host ? host : "");
    m_hostName.trim();
    failReason = kConnectOk;
    m_socket.setConnectTimeoutMs(connectTimeoutMs);
    bool ok =
        m_socket.connectSocket(host ? m_hostName.getString() : nullptr, port, log, lookupFailed);
    failReason = m_socket.connectFailReason();
    return ok;
}

bool Socket2::SendBytes2(const unsigned char* data, uint32_t length, uint32_t chunkSize,
                         uint32_t idleTimeoutMs, LogBase& log, ProgressMonitor* pm) {
    if (m_tls) return m_tls->send(data, length, idleTimeoutMs, log);
    m_socket.setIdleTimeoutMs(idleTimeoutMs);
    return m_socket.SendBytes2(data, length, chunkSize, log, pm);
}

bool Socket2::ReceiveBytes(DataBuffer& out, uint32_t maxBytes, uint32_t idleTimeoutMs, LogBase& log,
                           ProgressMonitor* pm, bool& timedOut, bool& socketError, bool& closed) {
    if (m_tls)
        return m_tls->receive(out, maxBytes, idleTimeoutMs, log, timedOut, socketError, closed);
    m_socket.setIdleTimeoutMs(idleTimeoutMs);
    return m_socket.receivePacket(out, maxBytes, log, pm, timedOut, socketError, closed);
}

bool Socket2::receiveUntilMatch(const char* delimiter, StringBuffer& out, uint32_t idleTimeoutMs,
                                LogBase& log, ProgressMonitor* pm, bool& timedOut,
                                bool& socketError, bool& closed, uint32_t totalTimeoutMs,
                                const uint32_t* countFrom) {
    timedOut = false;
    socketError = false;
    closed = false;
    out.clear();
    if (!delimiter || !*delimiter) {
        log.LogError("No delimiter to read up to.");
        return false;
    }
    StringBuffer delim(delimiter);
    uint32_t delimLen = delim.length();
    // Bytes read but not stored are lost to the stream: waiting on for the
    // rest of a line would only run into the time-out, and the next read
    // would start in the middle of something. Such a connection is closed.
    const uint64_t failuresBefore = text::failedAllocations();
    auto memoryRanOut = [&] {
        if (text::failedAllocations() == failuresBefore) return false;
        log.LogError("Memory ran out while reading; the connection is closed.");
        m_leftOver.clear();
        m_socket.closeSocket(log);
        socketError = true;
        return true;
    };

    out.append(m_leftOver.data(), m_leftOver.size());
    m_leftOver.clear();
    if (memoryRanOut()) return false;
    int found = out.find(delimiter);

    DataBuffer chunk;
    const uint32_t start = countFrom ? *countFrom : platform::tickCount();
    LogNull quiet;
    while (found < 0) {
        if (!isConnected()) return false;
        uint32_t wait = idleTimeoutMs;
        bool cut = false;
        if (totalTimeoutMs) {
            const uint32_t elapsed = platform::tickCount() - start;
            if (elapsed >= totalTimeoutMs) {
                log.LogError("Read did not complete within the time-out");
                log.LogDataLong("timeoutMs", static_cast<int32_t>(totalTimeoutMs));
                timedOut = true;
                return false;
            }
            const uint32_t left = totalTimeoutMs - elapsed;
            if (wait == 0 || left < wait) {
                wait = left;
                cut = true;
            }
        }
        uint32_t before = out.length();
        chunk.clear();
        // A wait shortened by the overall time-out reports that time-out,
        // not the few milliseconds that happened to be left.
        bool ok = ReceiveBytes(chunk, 2048, wait, cut ? static_cast<LogBase&>(quiet) : log, pm,
                               timedOut, socketError, closed);
        if (cut && timedOut) {
            log.LogError("Read did not complete within the time-out");
            log.LogDataLong("timeoutMs", static_cast<int32_t>(totalTimeoutMs));
        }
        chunk.replaceByte(0, ' ');
        out.append(chunk.data(), chunk.size());
        if (socketError || memoryRanOut()) return false;
        // Start early enough to find a delimiter split between two reads.
        uint32_t from = before > delimLen ? before - delimLen : 0;
        found = out.find(delimiter, from);
        if (found >= 0) break;
        if (!ok) return false;
        // Bytes that could still start the delimiter do not count yet.
        if (out.length() - (delimLen - 1) > kMaxMatchBytes) {
            log.LogError("SMTP reply line too long");
            m_socket.closeSocket(log);
            socketError = true;
            return false;
        }
    }

    uint32_t end = static_cast<uint32_t>(found) + delimLen;
    if (end < out.length()) {
        m_leftOver.append(out.getBytes() + end, out.length() - end);
        out.truncate(end);
    }
    return !memoryRanOut();
}

bool Socket2::startTls(const platform::TlsClientSettings& settings, uint32_t timeoutMs,
                       LogBase& log, std::string& error, bool& localFailure) {
    m_leftOver.clear();
    m_tls = TlsLayer::start(m_socket, settings, timeoutMs, log, error, localFailure);
    return m_tls != nullptr;
}

void Socket2::close(LogBase& log) {
    if (m_tls) m_tls->close();
    m_tls.reset();
    m_socket.closeSocket(log);
}

bool Socket2::getLocalHostname(StringBuffer& out, LogBase& log) {
    return BrenvikSocket::getLocalHostname(out, log);
}

void Socket2::logConnectionType(LogBase& log) {
    if (!m_tls) {
        log.LogData("ConnectionType", "Unencrypted TCP/IP");
        return;
    }
    const platform::TlsSessionInfo& info = m_tls->info();
    log.LogData("ConnectionType", "TLS");
    log.LogData("tlsVersion", info.version.c_str());
    log.LogData("tlsCipher", info.cipher.c_str());
}

void Socket2::setIdleTimeoutMs(uint32_t ms) {
    m_idleTimeoutMs = ms;
    m_socket.setIdleTimeoutMs(ms);
}
