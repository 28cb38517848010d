// What the scenario files cannot say: reuse across spellings of a host name
// and across ports, hosts refused or unreachable before any conversation,
// and arguments refused without a socket.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "mail/smtp_conn_impl.h"
#include "platform/sockets.h"
#include "support/engine_log.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace testsupport;
using smtptest::CaptureServer;

namespace {

const char kTestHost[] = "smtp.test.example";

// Only the test host name resolves, to 127.0.0.1, in any letter case.
bool resolveTestHost(const char* name, platform::HostEntry& out) {
    std::string n = name ? name : "";
    for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (n != kTestHost) return false;
    out.address = platform::parseIPv4("127.0.0.1");
    out.officialName = kTestHost;
    return true;
}

class SmtpConnect : public ::testing::Test {
  protected:
    void SetUp() override { m_previous = platform::setResolverForTesting(resolveTestHost); }
    void TearDown() override { platform::setResolverForTesting(m_previous); }

    bool connect(SmtpConnImpl& smtp, const std::string& host, uint16_t port,
                 const std::string& user = "", const std::string& password = "") {
        XString u = xs(user), p = xs(password);
        log.ClearLog();
        return smtp.smtpConnect(host.c_str(), port, u, p, 5, 3000, log, timedOut);
    }

    Logger log;
    bool timedOut = false;

  private:
    platform::ResolveFunction m_previous = nullptr;
};

TEST_F(SmtpConnect, SecondConnectReusesTheConnectionAfterRset) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, kTestHost, server.port())) << xml(log);
    EXPECT_EQ(smtp.connectedPort(), server.port());

    // Other letter case and blanks around the name still match.
    ASSERT_TRUE(connect(smtp, "  SMTP.Test.EXAMPLE ", server.port())) << xml(log);
    EXPECT_TRUE(hasInfo(log, "Using existing/open SMTP connection to send email."));
    EXPECT_EQ(data(log, "ConnectionType"), "Unencrypted TCP/IP");
    EXPECT_EQ(data(log, "InitialResponse"), "<none>");
    EXPECT_EQ(server.connections(), 1);
    std::string t = server.transcript();
    ASSERT_NE(t.find("C: RSET\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("C: EHLO", t.find("C: RSET\n")), std::string::npos) << t;

    // A username without a password counts as no credentials at all.
    ASSERT_TRUE(connect(smtp, kTestHost, server.port(), "someone", "")) << xml(log);
    EXPECT_FALSE(hasInfo(log, "Need new SMTP connection"));
    // Another port needs a new connection.
    CaptureServer other;
    ASSERT_TRUE(other.start());
    ASSERT_TRUE(connect(smtp, kTestHost, other.port())) << xml(log);
    EXPECT_TRUE(hasInfo(log, "Need new SMTP connection"));
    EXPECT_EQ(other.connections(), 1);
    smtp.resetConnection();
    EXPECT_EQ(smtp.connectedPort(), 25);
    EXPECT_EQ(smtp.lastResponseCode(), 0);
}

TEST_F(SmtpConnect, NoConversationWithRefusedOrSilentHosts) {
    uint16_t deadPort;
    {
        CaptureServer gone;
        ASSERT_TRUE(gone.start());
        deadPort = gone.port();
    }
    SmtpConnImpl smtp;
    EXPECT_FALSE(connect(smtp, "Mail.BLOCKED-SMTP.invalid", 25));
    EXPECT_TRUE(hasError(log, "SMTP protocol failure, contact support@example.com"));
    EXPECT_EQ(data(log, "smtp_host"), "<none>");
    EXPECT_FALSE(connect(smtp, "127.0.0.1", deadPort));
    EXPECT_TRUE(hasError(log, "Failed to connect to SMTP server."));
    EXPECT_FALSE(smtp.isConnected());
}

TEST(SmtpArguments, RefusedWithoutASocket) {
    SmtpConnImpl smtp;
    Logger log;
    XString empty, pass = xs("x");
    bool timedOut = true, tryAnother = true;
    EXPECT_FALSE(smtp.authLoginExchange(empty, pass, log, timedOut));
    EXPECT_FALSE(smtp.authPlainExchange(pass, empty, log, timedOut));
    EXPECT_FALSE(smtp.authCramMd5Exchange(empty, empty, log, timedOut));
    EXPECT_FALSE(smtp.authNtlmExchange(empty, pass, log, timedOut, tryAnother));
    EXPECT_FALSE(tryAnother);
    EXPECT_EQ(entries(log).size(), 1u + 3u);  // the root and three errors
    EXPECT_TRUE(hasError(log, "Username and/or password is empty"));

    log.ClearLog();
    int accepted = 5, total = 5;
    StringBuffer from("a@example.com");
    EXPECT_FALSE(smtp.sendEmail(nullptr, from, log, accepted, total, timedOut));
    EXPECT_TRUE(hasError(log, "email argument to SmtpConnImpl is NULL"));
    EXPECT_EQ(accepted + total, 0);
    EXPECT_FALSE(timedOut);
}

}  // namespace
