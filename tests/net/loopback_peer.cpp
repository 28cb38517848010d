#include "loopback_peer.h"

namespace nettest {

uint32_t loopbackAddress() {
    return platform::parseIPv4("127.0.0.1");
}

LoopbackPeer::LoopbackPeer(int backlog) {
    platform::socketsStartup(0x0202);
    int err = 0;
    m_listener = platform::listenIPv4(loopbackAddress(), 0, backlog, m_port, err);
}

LoopbackPeer::~LoopbackPeer() {
    close();
    if (m_listener != platform::kInvalidSocket) platform::closeSocketHandle(m_listener);
}

bool LoopbackPeer::accept(uint32_t timeoutMs) {
    close();
    int err = 0;
    if (platform::selectReadable(m_listener, timeoutMs, err) != 1) return false;
    m_conn = platform::acceptConnection(m_listener, err);
    return m_conn != platform::kInvalidSocket;
}

bool LoopbackPeer::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int err = 0;
        long n = platform::sendSome(m_conn, bytes.data() + done, static_cast<uint32_t>(bytes.size() - done), err);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string LoopbackPeer::receive(size_t n, uint32_t timeoutMs) {
    std::string got;
    std::vector<char> buf(65536);
    while (got.size() < n) {
        int err = 0;
        if (platform::selectReadable(m_conn, timeoutMs, err) != 1) break;
        size_t want = n - got.size() < buf.size() ? n - got.size() : buf.size();
        long r = platform::recvSome(m_conn, buf.data(), static_cast<uint32_t>(want), err);
        if (r <= 0) break;
        got.append(buf.data(), static_cast<size_t>(r));
    }
    return got;
}

void LoopbackPeer::close() {
    if (m_conn == platform::kInvalidSocket) return;
    platform::closeSocketHandle(m_conn);
    m_conn = platform::kInvalidSocket;
}

void LoopbackPeer::reset() {
    if (m_conn == platform::kInvalidSocket) return;
    platform::setAbortiveClose(m_conn);
    close();
}

uint16_t unusedPort() {
    LoopbackPeer peer;
    return peer.port();
}

BacklogFiller::BacklogFiller(uint16_t port) {
    // A connect that is still unfinished after this long waits on a full queue.
    const uint32_t kSettleMs = 500;
    for (int i = 0; i < 64 && !m_full; ++i) {
        int err = 0;
        platform::SocketHandle s = platform::openTcpSocket(err);
        if (s == platform::kInvalidSocket) break;
        m_sockets.push_back(s);
        platform::setNonBlocking(s, true, err);
        if (platform::connectIPv4(s, loopbackAddress(), port, err)) continue;
        if (err != platform::wsa::kWouldBlock) break;
        if (platform::selectWritable(s, kSettleMs, err) == 0) m_full = true;
    }
}

BacklogFiller::~BacklogFiller() {
    for (platform::SocketHandle s : m_sockets) platform::closeSocketHandle(s);
}

}  // namespace nettest
