#pragma once
// TLS over one connected BrenvikSocket: the handshake and every read and
// write, each bounded by its time-out however the peer trickles its records.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tls.h"

class BrenvikSocket;
class DataBuffer;
class LogBase;

class TlsLayer {
  public:
    // A session over the socket and its handshake, within timeoutMs in all.
    // Null, with the reason logged and in error, when it failed; the socket
    // is then closed. localFailure tells a session that could not even be
    // set up here (the roots file unreadable, say) from a handshake the
    // peer failed.
    static std::unique_ptr<TlsLayer> start(BrenvikSocket& socket,
                                           const platform::TlsClientSettings& settings,
                                           uint32_t timeoutMs, LogBase& log, std::string& error,
                                           bool& localFailure);

    bool send(const unsigned char* data, uint32_t length, uint32_t timeoutMs, LogBase& log);
    // Appends what one record read brings, at most maxBytes, within timeoutMs.
    bool receive(DataBuffer& out, uint32_t maxBytes, uint32_t timeoutMs, LogBase& log,
                 bool& timedOut, bool& socketError, bool& closed);
    // close_notify when it can go without waiting.
    void close();

    const platform::TlsSessionInfo& info() const { return m_info; }

  private:
    TlsLayer(BrenvikSocket& socket, std::unique_ptr<platform::TlsClientSession> session)
        : m_socket(socket), m_session(std::move(session)) {}
    // Waits for what the last call asked for, within the time left until
    // deadline (a tick count); false when the time is up or the socket failed.
    bool waitFor(platform::TlsStatus want, uint32_t start, uint32_t timeoutMs, LogBase& log,
                 bool& timedOut, bool& socketError);

    BrenvikSocket& m_socket;
    std::unique_ptr<platform::TlsClientSession> m_session;
    platform::TlsSessionInfo m_info;
};
