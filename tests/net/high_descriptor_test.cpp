// A connection whose descriptor is above FD_SETSIZE (1024), as in a host
// process with many open files.
#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "loopback_peer.h"
#include "net/socket2.h"
#include "net_test_support.h"

using namespace nettest;

namespace {

// Fills every descriptor up to kHighest, so the next ones opened are above it.
class LowDescriptorsTaken {
  public:
    static const int kHighest = 1040;

    LowDescriptorsTaken() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        struct rlimit wanted = m_saved;
        if (wanted.rlim_cur < 1200 && wanted.rlim_max >= 1200) {
            wanted.rlim_cur = 1200;
            if (setrlimit(RLIMIT_NOFILE, &wanted) == 0) m_raised = true;
        }
        struct rlimit now;
        getrlimit(RLIMIT_NOFILE, &now);
        if (now.rlim_cur < 1100) return;
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0) return;
        m_fds.push_back(null);
        // dup() takes the lowest free descriptor, so this fills every gap.
        for (int i = 0; i < kHighest + 1; ++i) {
            int fd = dup(null);
            if (fd < 0) return;
            m_fds.push_back(fd);
            if (fd >= kHighest) {
                m_ready = true;
                return;
            }
        }
    }

    ~LowDescriptorsTaken() {
        for (int fd : m_fds) close(fd);
        if (m_raised) setrlimit(RLIMIT_NOFILE, &m_saved);
    }

    bool ready() const { return m_ready; }

  private:
    struct rlimit m_saved = {};
    bool m_raised = false;
    bool m_ready = false;
    std::vector<int> m_fds;
};

// The descriptor connected to 127.0.0.1:port, or -1.
int descriptorConnectedTo(uint16_t port) {
    for (int fd = 0; fd < LowDescriptorsTaken::kHighest + 64; ++fd) {
        sockaddr_in sa = {};
        socklen_t len = sizeof(sa);
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) continue;
        if (sa.sin_family == AF_INET && ntohs(sa.sin_port) == port &&
            sa.sin_addr.s_addr == loopbackAddress())
            return fd;
    }
    return -1;
}

TEST(HighDescriptor, LoopbackExchangeThroughSocket2AboveFdSetSize) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.listening());
    LowDescriptorsTaken taken;
    if (!taken.ready()) GTEST_SKIP() << "cannot open more than about 1100 files";

    Socket2 conn;
    Logger log;
    bool lookupFailed = false;
    int reason = -1;
    ASSERT_TRUE(conn.connect("127.0.0.1", peer.port(), 5000, log, lookupFailed, nullptr, reason))
        << dump(log);
    ASSERT_TRUE(peer.accept());
    int fd = descriptorConnectedTo(peer.port());
    ASSERT_GE(fd, 1024);

    const std::string hello = "EHLO high.example\r\n";
    ASSERT_TRUE(conn.SendBytes2(reinterpret_cast<const unsigned char*>(hello.data()),
                                static_cast<uint32_t>(hello.size()), 0, 5000, log, nullptr))
        << dump(log);
    EXPECT_EQ(peer.receive(hello.size()), hello);

    ASSERT_TRUE(peer.send("250 high.example\r\n"));
    StringBuffer line;
    bool timedOut = false, socketError = false, closed = false;
    ASSERT_TRUE(
        conn.receiveUntilMatch("\r\n", line, 5000, log, nullptr, timedOut, socketError, closed))
        << dump(log);
    EXPECT_EQ(std::string(line.getString(), line.length()), "250 high.example\r\n");
    EXPECT_FALSE(timedOut || socketError || closed);
    conn.close(log);
}

}  // namespace
#endif
