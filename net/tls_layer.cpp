#include "net/tls_layer.h"

#include "diag/log_base.h"
#include "net/brenvik_socket.h"
#include "platform/clock.h"
#include "text/data_buffer.h"

std::unique_ptr<TlsLayer> TlsLayer::start(BrenvikSocket& socket,
                                          const platform::TlsClientSettings& settings,
                                          uint32_t timeoutMs, LogBase& log, std::string& error,
                                          bool& localFailure) {
    localFailure = false;
    std::unique_ptr<platform::TlsClientSession> session =
        platform::startTlsClient(socket.handle(), settings, error);
    if (!session) {
        localFailure = true;
        log.LogError(error.c_str());
        socket.closeSocket(log);
        return nullptr;
    }
    std::unique_ptr<TlsLayer> layer(new TlsLayer(socket, std::move(session)));
    const uint32_t start = platform::tickCount();
    for (;;) {
        const platform::TlsStatus s = layer->m_session->handshake(error);
        if (s == platform::TlsStatus::Done) break;
        bool timedOut = false, socketError = false;
        if (s == platform::TlsStatus::WantRead || s == platform::TlsStatus::WantWrite) {
            if (layer->waitFor(s, start, timeoutMs, log, timedOut, socketError)) continue;
            error = timedOut ? "the TLS handshake did not complete within the time-out"
                             : "a socket error during the TLS handshake";
        } else if (error.empty()) {
            error = "the connection ended during the TLS handshake";
        }
        log.LogError(error.c_str());
        socket.closeSocket(log);
        return nullptr;
    }
    layer->m_info = layer->m_session->info();
    return layer;
}

bool TlsLayer::waitFor(platform::TlsStatus want, uint32_t start, uint32_t timeoutMs, LogBase& log,
                       bool& timedOut, bool& socketError) {
    const uint32_t elapsed = platform::tickCount() - start;
    if (timeoutMs && elapsed >= timeoutMs) {
        log.LogError("Timeout waiting to read socket or accept connection");
        log.LogDataLong("timeoutMs", static_cast<int32_t>(timeoutMs));
        timedOut = true;
        return false;
    }
    const uint32_t left = timeoutMs ? timeoutMs - elapsed : 0;
    if (want == platform::TlsStatus::WantRead)
        return m_socket.waitReadable(left, log, timedOut, socketError);
    const int r = m_socket.waitWritable(left, log);
    timedOut = r == 0;
    socketError = r < 0;
    return r == 1;
}

bool TlsLayer::send(const unsigned char* data, uint32_t length, uint32_t timeoutMs, LogBase& log) {
    if (!m_socket.isConnected()) {
        log.LogError("No socket exists for sending (2)");
        return false;
    }
    const uint32_t start = platform::tickCount();
    std::string error;
    while (length > 0) {
        uint32_t sent = 0;
        const platform::TlsStatus s = m_session->write(data, length, sent, error);
        if (s == platform::TlsStatus::Done) {
            data += sent;
            length -= sent;
            continue;
        }
        bool timedOut = false, socketError = false;
        if (s == platform::TlsStatus::WantRead || s == platform::TlsStatus::WantWrite) {
            if (waitFor(s, start, timeoutMs, log, timedOut, socketError)) continue;
            if (timedOut) log.LogError("Socket send idle timeout");
            return false;
        }
        if (!error.empty()) log.LogError(error.c_str());
        log.LogError("Error sending on socket");
        m_socket.closeSocket(log);
        return false;
    }
    return true;
}

bool TlsLayer::receive(DataBuffer& out, uint32_t maxBytes, uint32_t timeoutMs, LogBase& log,
                       bool& timedOut, bool& socketError, bool& closed) {
    timedOut = socketError = closed = false;
    if (!m_socket.isConnected()) {
        log.LogError("This socket is not connected");
        socketError = true;
        return false;
    }
    unsigned char buffer[16384];
    if (maxBytes > sizeof buffer) maxBytes = sizeof buffer;
    const uint32_t start = platform::tickCount();
    std::string error;
    for (;;) {
        uint32_t got = 0;
        const platform::TlsStatus s = m_session->read(buffer, maxBytes, got, error);
        if (s == platform::TlsStatus::Done) {
            out.append(buffer, got);
            return true;
        }
        if (s == platform::TlsStatus::WantRead || s == platform::TlsStatus::WantWrite) {
            if (waitFor(s, start, timeoutMs, log, timedOut, socketError)) continue;
            return false;
        }
        if (s == platform::TlsStatus::Closed) {
            log.LogError("Connection closed by server.");
            closed = true;
        } else {
            log.LogError(error.c_str());
            log.LogError("Failed to receive data on the TCP socket");
            socketError = true;
        }
        m_socket.closeSocket(log);
        return false;
    }
}

void TlsLayer::close() {
    if (m_socket.isConnected()) m_session->close();
}
