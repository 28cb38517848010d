// Socket2 line reads against a loopback peer.
#include <gtest/gtest.h>

#include <string>

#include "loopback_peer.h"
#include "net/socket2.h"
#include "net_test_support.h"

using namespace nettest;

namespace {

class Socket2Test : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(connect()); }

    bool connect() {
        bool lookupFailed = false;
        int reason = -1;
        bool ok = conn.connect(" 127.0.0.1 ", peer.port(), 5000, log, lookupFailed, nullptr, reason);
        return ok && reason == 0 && peer.accept();
    }

    // One receiveUntilMatch with "\r\n" and a short idle time-out.
    bool line(std::string& out, uint32_t idleMs = 5000) {
        StringBuffer sb;
        bool ok = conn.receiveUntilMatch("\r\n", sb, idleMs, log, nullptr, timedOut, socketError, closed);
        out.assign(sb.getString(), sb.length());
        return ok;
    }

    std::string leftOver() const {
        return std::string(reinterpret_cast<const char*>(conn.leftOver().data()), conn.leftOver().size());
    }

    LoopbackPeer peer;
    Socket2 conn;
    Logger log;
    bool timedOut = false, socketError = false, closed = false;
};

TEST_F(Socket2Test, DelimiterSplitBetweenTwoReads) {
    // A read takes at most 2048 bytes, so the "\r" ends the first read and
    // the "\n" starts the second.
    std::string text = "250-" + std::string(2043, 'a') + "\r\n250 ok\r\n";
    ASSERT_TRUE(peer.send(text));
    std::string out;
    ASSERT_TRUE(line(out)) << dump(log);
    EXPECT_EQ(out, text.substr(0, 2049));
    ASSERT_TRUE(line(out));
    EXPECT_EQ(out, "250 ok\r\n");
}

TEST_F(Socket2Test, TwoRepliesInOneReadAndThenPeerClose) {
    ASSERT_TRUE(peer.send("250 one\r\n250 two\r\n"));
    peer.close();
    std::string out;
    ASSERT_TRUE(line(out));
    EXPECT_EQ(out, "250 one\r\n");
    EXPECT_EQ(leftOver(), "250 two\r\n");
    // Served from what is left over: a network read would meet the close.
    ASSERT_TRUE(line(out)) << dump(log);
    EXPECT_EQ(out, "250 two\r\n");
    EXPECT_FALSE(closed);

    EXPECT_FALSE(line(out));
    EXPECT_TRUE(closed);
    EXPECT_FALSE(timedOut || socketError);
    EXPECT_TRUE(hasError(log, "Connection closed by server."));
    EXPECT_FALSE(conn.isConnected());
    // Not connected any more: failure without a read or a message.
    Logger quiet;
    StringBuffer sb;
    EXPECT_FALSE(conn.receiveUntilMatch("\r\n", sb, 100, quiet, nullptr, timedOut, socketError, closed));
    EXPECT_EQ(entriesOf(quiet).size(), 1u) << dump(quiet);
}

TEST_F(Socket2Test, ZeroBytesBecomeSpaces) {
    ASSERT_TRUE(peer.send(std::string("220\0mail\0\0ready\r\n", 17)));
    std::string out;
    ASSERT_TRUE(line(out));
    EXPECT_EQ(out, "220 mail  ready\r\n");
}

TEST_F(Socket2Test, DelimiterThatNeverComesTimesOutKeepingTheBytes) {
    ASSERT_TRUE(peer.send("220 partial"));
    std::string out;
    EXPECT_FALSE(line(out, 200));
    EXPECT_TRUE(timedOut);
    EXPECT_FALSE(socketError || closed);
    EXPECT_EQ(out, "220 partial");
    EXPECT_TRUE(hasError(log, "Timeout waiting to read socket or accept connection"));
    EXPECT_EQ(dataOf(log, "timeoutMs"), "200");
    EXPECT_TRUE(conn.isConnected());
}

TEST_F(Socket2Test, LeftOverInputSurvivesCloseAndReconnect) {
    ASSERT_TRUE(peer.send("250 one\r\n250 two\r\n"));
    std::string out;
    ASSERT_TRUE(line(out));
    conn.close(log);
    EXPECT_FALSE(conn.isConnected());
    ASSERT_TRUE(connect());
    ASSERT_TRUE(line(out));
    EXPECT_EQ(out, "250 two\r\n");
}

TEST_F(Socket2Test, ReplyLineBoundIsOneMebibyte) {
    // Exactly 1 MiB before the delimiter is still a line.
    std::string longest(Socket2::kMaxMatchBytes, 'a');
    ASSERT_TRUE(peer.send(longest + "\r\n"));
    std::string out;
    ASSERT_TRUE(line(out)) << dump(log);
    EXPECT_EQ(out.size(), longest.size() + 2);

    // One byte more without the delimiter ends the read and the connection.
    ASSERT_TRUE(peer.send(longest + "b" + std::string(4096, 'c')));
    EXPECT_FALSE(line(out));
    EXPECT_TRUE(hasError(log, "SMTP reply line too long"));
    EXPECT_TRUE(socketError);
    EXPECT_FALSE(conn.isConnected());
    EXPECT_LE(out.size(), Socket2::kMaxMatchBytes + 2048 + 1);
}

TEST_F(Socket2Test, SendAppliesTheIdleTimeoutAndDeliversEverything) {
    std::string text = "EHLO client\r\n";
    ASSERT_TRUE(conn.SendBytes2(reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<uint32_t>(text.size()), 32767, 1234, log, nullptr));
    EXPECT_EQ(peer.receive(text.size()), text);
    EXPECT_EQ(conn.socket().idleTimeoutMs(), 1234u);

    ASSERT_TRUE(peer.send("abc"));
    DataBuffer out;
    out.append("x", 1);
    ASSERT_TRUE(conn.ReceiveBytes(out, 2, 0, log, nullptr, timedOut, socketError, closed));
    EXPECT_TRUE(out.equals("xab", 3)) << "appended, at most max bytes";
    EXPECT_EQ(conn.socket().idleTimeoutMs(), 2160000000u);
}

TEST(Socket2Basics, ConnectionTypeTimeoutsAndFailedConnect) {
    Socket2 conn;
    Logger log;
    conn.logConnectionType(log);
    EXPECT_EQ(dataOf(log, "ConnectionType"), "Unencrypted TCP/IP");

    conn.setIdleTimeoutMs(0);
    EXPECT_EQ(conn.idleTimeoutMs(), 0u);
    EXPECT_EQ(conn.socket().idleTimeoutMs(), 2160000000u);
    conn.setConnectTimeoutSecs(12);
    EXPECT_EQ(conn.socket().connectTimeoutMs(), 12000u);

    bool lookupFailed = true;
    int reason = -1;
    EXPECT_FALSE(conn.connect(nullptr, 25, 1000, log, lookupFailed, nullptr, reason));
    EXPECT_EQ(reason, kConnectNoHost);
    EXPECT_TRUE(hasError(log, "Cannot connect, hostname is NULL"));
    EXPECT_FALSE(conn.connect("  ", 25, 1000, log, lookupFailed, nullptr, reason));
    EXPECT_EQ(reason, kConnectNoHost);
    EXPECT_TRUE(conn.hostName().isEmpty());

    EXPECT_FALSE(conn.connect("127.0.0.1", unusedPort(), 3000, log, lookupFailed, nullptr, reason));
    EXPECT_EQ(reason, kConnectFailed);
    EXPECT_TRUE(conn.hostName().equals("127.0.0.1"));
    EXPECT_EQ(conn.socket().connectTimeoutMs(), 3000u);
}

}  // namespace
