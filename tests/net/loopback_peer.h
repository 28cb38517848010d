#pragma once
// The far end of a test connection on 127.0.0.1, driven step by step from
// the test's own thread through the platform socket service, so the same
// tests run on POSIX and on Windows.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockets.h"

namespace nettest {

uint32_t loopbackAddress();  // 127.0.0.1, network byte order

class LoopbackPeer {
  public:
    explicit LoopbackPeer(int backlog = 8);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool listening() const { return m_listener != platform::kInvalidSocket; }
    uint16_t port() const { return m_port; }

    // Takes the next queued connection, closing the previous one.
    bool accept(uint32_t timeoutMs = 10000);
    bool send(const std::string& bytes);
    // Reads until n bytes came, the client closed, or timeoutMs passed without data.
    std::string receive(size_t n, uint32_t timeoutMs = 10000);
    void close();
    void reset();  // ends the connection with a reset instead of a close

  private:
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    platform::SocketHandle m_conn = platform::kInvalidSocket;
    uint16_t m_port = 0;
};

// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
uint16_t unusedPort();

// Connections that fill a listener's queue so that the next connect to it
// hangs until its time-out. Empty when the system would not let the queue fill.
class BacklogFiller {
  public:
    explicit BacklogFiller(uint16_t port);
    ~BacklogFiller();
    bool full() const { return m_full; }

  private:
    std::vector<platform::SocketHandle> m_sockets;
    bool m_full = false;
};

}  // namespace nettest
