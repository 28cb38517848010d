// Connection set-up, reuse, the reply readers and the command sender,
// against the scripted fault server and the capture server on 127.0.0.1.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "mail/smtp_conn_impl.h"
#include "net/brenvik_socket.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "smtp_test_support.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace smtptest_support;
using smtptest::CaptureServer;
using smtptest::FaultScript;
using smtptest::FaultServer;

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
                 const std::string& user = "", const std::string& password = "",
                 int readMs = 3000) {
        XString u = xs(user), p = xs(password);
        timedOut = false;
        return smtp.smtpConnect(host.c_str(), port, u, p, 5, readMs, log, timedOut);
    }

    // Greeting and a plain EHLO reply.
    static FaultScript greeted(const std::string& ehloReply = "250-fault.test\r\n250 OK\r\n") {
        FaultScript s;
        s.send("220 fault.test ESMTP\r\n").expect("EHLO ").send(ehloReply);
        return s;
    }

    static std::string localName() {
        LogNull quiet;
        StringBuffer name;
        BrenvikSocket::getLocalHostname(name, quiet);
        return name.isEmpty() ? "localhost" : name.getString();
    }

    Logger log;
    bool timedOut = false;

  private:
    platform::ResolveFunction m_previous = nullptr;
};

TEST_F(SmtpConnect, NewConnectionWithoutCredentialsSkipsAuth) {
    FaultServer server(greeted("250-fault.test\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n")
                           .expect("QUIT")
                           .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port())) << xml(log);
        std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
        EXPECT_TRUE(hasInfo(log, "Need new SMTP connection"));
        EXPECT_TRUE(hasInfo(log, "No SMTP login provided."));
        EXPECT_TRUE(hasInfo(log, "No SMTP password provided."));
        EXPECT_TRUE(
            hasInfo(log, "Skipping SMTP authentication because no login/password provided."));
        EXPECT_TRUE(hasInfo(log, "Connecting to SMTP server " + hostPort));
        EXPECT_TRUE(hasInfo(log, "CONNECTED to ESMTP server " + hostPort));
        EXPECT_EQ(data(log, "smtp_host"), "127.0.0.1");
        EXPECT_EQ(data(log, "smtp_port"), std::to_string(server.port()));
        EXPECT_EQ(data(log, "smtp_user"), "NULL");
        EXPECT_EQ(data(log, "auth-method"), "NONE");
        EXPECT_EQ(data(log, "smtpAuthMethod"), "NONE");
        EXPECT_EQ(data(log, "login_method"), "NONE or already authenticated");
        EXPECT_EQ(data(log, "sendingHello"), "EHLO " + localName());
        EXPECT_EQ(data(log, "InitialResponse"), "220 fault.test ESMTP\r\n");
        EXPECT_EQ(data(log, "ConnectionType"), "Unencrypted TCP/IP");
        // "NONE" clears what the server listed.
        EXPECT_FALSE(smtp.authLogin());
        EXPECT_FALSE(smtp.authPlain());
        EXPECT_EQ(smtp.connectedHost().getString(), std::string("127.0.0.1"));
        EXPECT_EQ(smtp.connectedPort(), server.port());
    }
    // The destructor said QUIT; no AUTH was ever sent.
    EXPECT_TRUE(server.finish()) << server.failure();
    for (const std::string& line : server.received()) EXPECT_NE(line.rfind("AUTH", 0), 0u) << line;
}

TEST_F(SmtpConnect, SecondConnectReusesTheConnectionAfterRset) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, kTestHost, server.port())) << xml(log);

    // Other letter case and blanks around the name still match.
    log.ClearLog();
    ASSERT_TRUE(connect(smtp, "  SMTP.Test.EXAMPLE ", server.port())) << xml(log);
    EXPECT_TRUE(hasInfo(log, "Sending RSET command.."));
    EXPECT_TRUE(hasInfo(log, "Using existing/open SMTP connection to send email."));
    EXPECT_EQ(data(log, "ConnectionType"), "Unencrypted TCP/IP");
    EXPECT_FALSE(hasInfo(log, "Need new SMTP connection"));
    EXPECT_EQ(data(log, "InitialResponse"), "<none>");
    EXPECT_EQ(server.connections(), 1);
    std::string t = server.transcript();
    EXPECT_NE(t.find("C: RSET\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("C: EHLO", t.find("C: RSET")), std::string::npos) << t;

    // A username without a password counts as no credentials at all.
    log.ClearLog();
    ASSERT_TRUE(connect(smtp, kTestHost, server.port(), "someone", "")) << xml(log);
    EXPECT_FALSE(hasInfo(log, "Need new SMTP connection"));
    // Another port needs a new connection.
    log.ClearLog();
    CaptureServer other;
    ASSERT_TRUE(other.start());
    ASSERT_TRUE(connect(smtp, kTestHost, other.port())) << xml(log);
    EXPECT_TRUE(hasInfo(log, "Need new SMTP connection"));
    EXPECT_EQ(other.connections(), 1);
}

TEST_F(SmtpConnect, RefusedRsetClosesAndConnectsAnew) {
    FaultScript s = greeted();
    s.expect("RSET").send("421 service closing\r\n").acceptNext();
    s.send("220 again\r\n").expect("EHLO ").send("250 OK\r\n").expect("QUIT").send("221 bye\r\n");
    FaultServer server(s);
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port())) << xml(log);
        log.ClearLog();
        ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port())) << xml(log);
        EXPECT_TRUE(hasInfo(log, "Sending RSET command.."));
        EXPECT_TRUE(hasError(log, "421 service closing"));
        EXPECT_TRUE(hasError(log, "RSET failed."));
        EXPECT_EQ(data(log, "InitialResponse"), "220 again\r\n");
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpConnect, AfterResetTheNextConnectIsNew) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port()));
    smtp.resetConnection();
    EXPECT_FALSE(smtp.isConnected());
    EXPECT_EQ(smtp.connectedPort(), 25);
    EXPECT_TRUE(smtp.connectedHost().isEmpty());
    EXPECT_EQ(smtp.lastResponseCode(), 0);
    log.ClearLog();
    ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port())) << xml(log);
    EXPECT_TRUE(hasInfo(log, "Need new SMTP connection"));
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(SmtpConnect, EhloAuthLinesSetEveryMechanismInAnyCase) {
    FaultServer server(
        greeted("250-fault.test\r\n250-AUTH=LOGIN\r\n"
                "250-auth plain cram-md5 digest-md5 ntlm msn gssapi anonymous kerberos_v4\r\n"
                "250 OK\r\n")
            .expect("AUTH LOGIN")
            .send("334 VXNlcm5hbWU6\r\n")
            .expect(smtptest::base64Encode("user"))
            .send("334 UGFzc3dvcmQ6\r\n")
            .expect(smtptest::base64Encode("secret"))
            .send("235 ok\r\n")
            .expect("QUIT")
            .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port(), "user", "secret")) << xml(log);
        EXPECT_TRUE(smtp.authLogin());
        EXPECT_TRUE(smtp.authPlain());
        EXPECT_TRUE(smtp.authCramMd5());
        EXPECT_TRUE(smtp.authDigestMd5());
        EXPECT_TRUE(smtp.authNtlm());
        EXPECT_TRUE(smtp.authMsn());
        EXPECT_TRUE(smtp.authGssapi());
        EXPECT_TRUE(smtp.authAnonymous());
        EXPECT_TRUE(smtp.authKerberosV4());
        EXPECT_EQ(data(log, "login_method"), "LOGIN");
        EXPECT_EQ(data(log, "auth-method"), "<none>");
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpConnect, EhloRefusedFallsBackToHeloThenSecondHeloWithServerName) {
    FaultScript s;
    s.send("220 fault.test\r\n")
        .expect("EHLO " + localName())
        .send("500 5.5.1 EHLO not understood\r\n")
        .expect("HELO " + localName())
        .send("501 5.5.4 Not your name\r\n")
        .expect("HELO 127.0.0.1")
        .send("250 fault.test\r\n")
        .expect("QUIT")
        .send("221 bye\r\n");
    FaultServer server(s);
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port(), "user", "secret")) << xml(log);
        EXPECT_TRUE(hasError(log, "EHLO failed, sending HELO..."));
        EXPECT_TRUE(hasError(log, "Failed to get response to Hello (HELO)"));
        EXPECT_EQ(data(log, "login_method"), "NONE");
        EXPECT_TRUE(
            hasInfo(log, "CONNECTED to SMTP server 127.0.0.1:" + std::to_string(server.port())));
        EXPECT_EQ(data(log, "helloResponse"), "500 5.5.1 EHLO not understood\r\n");
        EXPECT_EQ(data(log, "HeloResponse"), "501 5.5.4 Not your name\r\n");
    }
    // No AUTH after HELO: the script's next line was QUIT.
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpConnect, SecondHeloRefusedFails) {
    FaultScript s;
    s.send("220 fault.test\r\n")
        .expect("EHLO ")
        .send("502 no\r\n")
        .expect("HELO ")
        .send("502 no\r\n")
        .expect("HELO 127.0.0.1")
        .send("550 go away\r\n")
        .expect("QUIT");
    FaultServer server(s);
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        EXPECT_FALSE(connect(smtp, "127.0.0.1", server.port()));
        EXPECT_TRUE(hasError(log, "550 go away"));
        EXPECT_TRUE(hasError(log, "Failed to get response to 2nd-try Hello (HELO)"));
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpConnect, GreetingProblems) {
    struct Case {
        const char* name;
        FaultScript script;
        const char* extraError;  // besides the two greeting errors
    };
    Case cases[] = {
        {"refused", FaultScript().send("554 5.7.1 No service for you\r\n"),
         "554 5.7.1 No service for you"},
        {"garbage", FaultScript().send("hello there\r\n"), "hello there"},
        {"three characters", FaultScript().send("220\r\n"), nullptr},
        {"closed at once", FaultScript().close(), nullptr},
        {"huge line", FaultScript().hugeLine(1200 * 1024), "SMTP reply line too long"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.ClearLog();
        FaultServer server(c.script);
        ASSERT_TRUE(server.start());
        SmtpConnImpl smtp;
        EXPECT_FALSE(connect(smtp, "127.0.0.1", server.port()));
        EXPECT_TRUE(hasError(log, "Failed to get initial SMTP response..")) << xml(log);
        EXPECT_TRUE(hasError(log, "The SMTP server may be denying access for this domain."));
        if (c.extraError) {
            EXPECT_TRUE(hasError(log, c.extraError)) << xml(log);
        }
        EXPECT_FALSE(
            hasInfo(log, "CONNECTED to ESMTP server 127.0.0.1:" + std::to_string(server.port())));
    }
}

TEST_F(SmtpConnect, SilentServerTimesOutWithinTheReadTimeout) {
    FaultServer server(FaultScript().silence(5000));
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    uint32_t start = platform::tickCount();
    EXPECT_FALSE(connect(smtp, "127.0.0.1", server.port(), "", "", 400));
    uint32_t took = platform::tickCount() - start;
    EXPECT_TRUE(timedOut);
    EXPECT_LT(took, 3000u);
    EXPECT_TRUE(hasError(log, "Failed to get initial SMTP response.."));
}

// Every byte arrives well within the idle time-out, but the line as a whole
// never completes: the read time-out still bounds the wait.
TEST_F(SmtpConnect, TrickledGreetingIsCutOffAtTheReadTimeout) {
    std::vector<std::string> drip(60, "x");
    drip.insert(drip.begin(), "220 ");
    FaultServer server(FaultScript().sendSplit(drip, 100));
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    uint32_t start = platform::tickCount();
    EXPECT_FALSE(connect(smtp, "127.0.0.1", server.port(), "", "", 600));
    uint32_t took = platform::tickCount() - start;
    EXPECT_TRUE(timedOut);
    EXPECT_GE(took, 500u);
    EXPECT_LT(took, 4000u) << "the drip lasts 6 s";
    EXPECT_TRUE(hasError(log, "Failed to get initial SMTP response..")) << xml(log);
    // The log names the configured time-out, not what was left of it.
    EXPECT_EQ(data(log, "timeoutMs"), "600") << xml(log);
}

TEST_F(SmtpConnect, RepliesSplitIntoPiecesAreJoined) {
    FaultScript s;
    s.sendSplit({"22", "0 split", " greeting\r", "\n"}, 60)
        .expect("EHLO ")
        .sendSplit({"250-fault.test\r\n250", "-AUTH LO", "GIN\r\n250 OK\r", "\n"}, 60)
        .expect("QUIT")
        .send("221 bye\r\n");
    FaultServer server(s);
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port())) << xml(log);
        EXPECT_EQ(data(log, "InitialResponse"), "220 split greeting\r\n");
        EXPECT_EQ(data(log, "helloResponse"), "250-fault.test\r\n250-AUTH LOGIN\r\n250 OK\r\n");
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

// An EHLO reply that never ends: HELO goes on a new connection, so no late
// EHLO line is taken for the HELO reply.
TEST_F(SmtpConnect, UnreadableEhloReplyRetriesHeloOnANewConnection) {
    struct Case {
        const char* name;
        std::string afterEhlo;  // script text
    } cases[] = {
        {"closed mid-reply", "S: 250-fault.test\nCLOSE\n"},
        {"silent", "S: 250-fault.test\nSILENT 700\n"},
        {"not a reply line", "S: 250-fault.test\nS: OK\n"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.ClearLog();
        FaultScript s;
        std::string bad;
        ASSERT_TRUE(FaultScript::parse(
            "S: 220 first\nC: EHLO \n" + c.afterEhlo +
                "ACCEPT\nS: 220 second\nC: HELO \nS: 250 fault.test\nC: QUIT\nS: 221 bye\n",
            s, bad))
            << bad;
        FaultServer server(s);
        ASSERT_TRUE(server.start());
        {
            SmtpConnImpl smtp;
            ASSERT_TRUE(connect(smtp, "127.0.0.1", server.port(), "", "", 500)) << xml(log);
            EXPECT_TRUE(
                hasInfo(log, "No readable reply to EHLO; trying HELO on a new connection."));
            EXPECT_TRUE(hasError(log, "EHLO failed, sending HELO..."));
            EXPECT_EQ(data(log, "HeloResponse"), "250 fault.test\r\n");
            EXPECT_FALSE(timedOut);
        }
        EXPECT_TRUE(server.finish()) << server.failure();
    }
}

TEST_F(SmtpConnect, BlockedHostIsRefusedBeforeConnecting) {
    SmtpConnImpl smtp;
    EXPECT_FALSE(connect(smtp, "Mail.BLOCKED-SMTP.invalid", 25));
    EXPECT_TRUE(hasError(log, "SMTP protocol failure, contact support@example.com"));
    EXPECT_EQ(data(log, "smtp_host"), "<none>");
    EXPECT_FALSE(smtp.isConnected());
}

TEST_F(SmtpConnect, NothingListeningFails) {
    uint16_t port;
    {
        CaptureServer gone;
        ASSERT_TRUE(gone.start());
        port = gone.port();
    }
    SmtpConnImpl smtp;
    EXPECT_FALSE(connect(smtp, "127.0.0.1", port));
    EXPECT_TRUE(hasError(log, "Failed to connect to SMTP server."));
}

// ---------------------------------------------------------------- readers and sender

class SmtpCommands : public SmtpConnect {
  protected:
    // A connection to a fault server whose script continues with rest.
    void open(const FaultScript& rest) {
        FaultScript s = greeted();
        for (const auto& step : rest.steps()) append(s, step);
        m_server = std::make_unique<FaultServer>(s);
        ASSERT_TRUE(m_server->start());
        ASSERT_TRUE(connect(m_smtp, "127.0.0.1", m_server->port(), "", "", 1000)) << xml(log);
        log.ClearLog();
    }

    static void append(FaultScript& s, const smtptest::FaultStep& step) {
        using K = smtptest::FaultStep::Kind;
        switch (step.kind) {
            case K::Accept:
                s.acceptNext();
                break;
            case K::Expect:
                s.expect(step.text);
                break;
            case K::ExpectBytes:
                s.expectBytes(step.count);
                break;
            case K::Send:
                s.sendSplit(step.chunks, step.pauseMs);
                break;
            case K::Silence:
                s.silence(step.pauseMs);
                break;
            case K::Close:
                s.close();
                break;
            case K::Reset:
                s.reset();
                break;
            case K::HugeLine:
                s.hugeLine(step.count);
                break;
            case K::Message:
                s.expectMessage();
                break;
        }
    }

    bool command(const std::string& text, int expected, int& code, StringBuffer& reply,
                 bool& sent) {
        return m_smtp.sendCommand(text.c_str(), nullptr, expected, sent, code, reply, false, log,
                                  timedOut);
    }

    // Declared first so that the connection (and its QUIT) ends before the server.
    std::unique_ptr<FaultServer> m_server;
    SmtpConnImpl m_smtp;
};

TEST_F(SmtpCommands, MultiLineReplyKeepsTheLastLine) {
    open(FaultScript().expect("NOOP").send("250-first\r\n250-second\r\n250 last line \r\n"));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_TRUE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_TRUE(sent);
    EXPECT_EQ(code, 250);
    EXPECT_EQ(str(reply), "250 last line");
    EXPECT_EQ(m_smtp.lastResponseCode(), 250);
}

TEST_F(SmtpCommands, UnexpectedCodeIsLoggedAsError) {
    open(FaultScript().expect("RSET").send("451 4.3.0 try later\r\n"));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_FALSE(command("RSET\r\n", 250, code, reply, sent));
    EXPECT_EQ(code, 451);
    EXPECT_TRUE(hasError(log, "451 4.3.0 try later"));
}

// RFC 5321 allows a reply of the bare code; shorter lines are no reply.
TEST_F(SmtpCommands, BareCodeIsACompleteReplyShorterLinesAreNot) {
    open(FaultScript().expect("NOOP").send("250\r\n").expect("NOOP").send("25\r\n"));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_TRUE(command("NOOP\r\n", 250, code, reply, sent)) << xml(log);
    EXPECT_EQ(code, 250);
    EXPECT_EQ(str(reply), "250");
    EXPECT_FALSE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_EQ(code, -1);
    EXPECT_EQ(m_smtp.lastResponseCode(), 0);
    EXPECT_TRUE(hasError(log, "Unrecognized response from SMTP server"));
    EXPECT_TRUE(hasError(log, "25"));
}

TEST_F(SmtpCommands, ReplyWithoutANumberGivesMinusTwo) {
    open(FaultScript().expect("NOOP").send("OK, fine\r\n"));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_FALSE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_EQ(code, -2);
    EXPECT_TRUE(hasError(log, "OK, fine"));
}

TEST_F(SmtpCommands, NoReplyWithinTheTimeout) {
    open(FaultScript().expect("NOOP").silence(3000));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_FALSE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_TRUE(sent);
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(code, -1);
    EXPECT_TRUE(
        hasError(log, "ReadTimeout expired, abandoning attempt to retrieve SMTP response."));
}

TEST_F(SmtpCommands, ConnectionClosedInsteadOfReply) {
    open(FaultScript().expect("NOOP").close());
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_FALSE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(hasError(log, "Failed to get SMTP command response..."));
}

TEST_F(SmtpCommands, EndlessContinuationLinesAreCutOff) {
    std::string many;
    for (int i = 0; i < 40000; ++i)
        many += "250-this reply never ends, line " + std::to_string(i) + "\r\n";
    open(FaultScript().expect("NOOP").send(many));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_FALSE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_TRUE(hasError(log, "SMTP reply too long"));
}

// Complete lines, each quick, but a reply that never ends within the read
// time-out: cut off there rather than waiting for the line budget.
TEST_F(SmtpCommands, SlowEndlessContinuationLinesHitTheReadTimeout) {
    std::vector<std::string> lines(40, "250-still going\r\n");
    open(FaultScript().expect("NOOP").sendSplit(lines, 150));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    uint32_t start = platform::tickCount();
    EXPECT_FALSE(command("NOOP\r\n", 250, code, reply, sent));
    uint32_t took = platform::tickCount() - start;
    EXPECT_TRUE(sent);
    EXPECT_TRUE(timedOut);
    EXPECT_LT(took, 4000u) << "the lines keep coming for 6 s";
    EXPECT_TRUE(hasError(log, "ReadTimeout expired, abandoning attempt to retrieve SMTP response."))
        << xml(log);
}

TEST_F(SmtpCommands, LongCommandIsCutTo1999Bytes) {
    std::string longCommand = "NOOP " + std::string(3000, 'x') + "\r\n";
    open(FaultScript().expectBytes(1999).send("250 ok\r\n"));
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_TRUE(command(longCommand, 250, code, reply, sent)) << xml(log);
    EXPECT_TRUE(m_server->finish()) << m_server->failure();
    std::vector<std::string> got = m_server->received();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), longCommand.substr(0, 1999));
}

TEST_F(SmtpCommands, ArgumentReplacesThePlaceholderWithoutCut) {
    std::string arg(2500, 'a');
    open(FaultScript().expect("RCPT TO:<" + arg + ">").send("250 ok\r\n"));
    bool sent = false;
    int code = 0;
    StringBuffer reply;
    EXPECT_TRUE(m_smtp.sendCommand("RCPT TO:<%s>\r\n", arg.c_str(), 250, sent, code, reply, false,
                                   log, timedOut));
    EXPECT_TRUE(m_server->finish()) << m_server->failure();
    EXPECT_EQ(m_server->received().back(), "RCPT TO:<" + arg + ">");
}

TEST_F(SmtpCommands, TerminatorFlagIsLogged) {
    open(FaultScript().expect("").expect(".").send("250 queued\r\n"));
    bool sent = false;
    int code = 0;
    StringBuffer reply;
    EXPECT_TRUE(
        m_smtp.sendCommand("\r\n.\r\n", nullptr, 250, sent, code, reply, true, log, timedOut));
    EXPECT_TRUE(hasInfo(log, "Sent DATA terminator"));
}

TEST_F(SmtpCommands, TranscriptKeepsTheFirst2500BytesOfEachSend) {
    std::string body;
    for (int i = 0; body.size() < 10000; ++i)
        body += "line " + std::to_string(i) + " of the body\r\n";
    body.resize(10000);
    open(FaultScript().expectBytes(10000).expect("NOOP").send("250 ok\r\n"));
    std::string before = str(m_smtp.transcript());
    ASSERT_TRUE(m_smtp.sendLogged(body.data(), static_cast<uint32_t>(body.size()), log));
    std::string after = str(m_smtp.transcript());
    EXPECT_EQ(after.substr(before.size()), body.substr(0, 2500) + "\n...\n");
    // Replies and short commands go in whole.
    int code = 0;
    bool sent = false;
    StringBuffer reply;
    EXPECT_TRUE(command("NOOP\r\n", 250, code, reply, sent));
    EXPECT_EQ(str(m_smtp.transcript()).substr(after.size()), "NOOP\r\n250 ok\r\n");
    EXPECT_TRUE(m_server->finish()) << m_server->failure();
    EXPECT_EQ(m_server->received()[1], body);
}

TEST_F(SmtpCommands, QuitWaitsFor221) {
    open(FaultScript().expect("QUIT").send("221 bye\r\n").expect("NOOP"));
    m_smtp.quit(log);
    EXPECT_EQ(m_smtp.lastResponseCode(), 221);
}

// A server that never answers QUIT holds the host's close only briefly, not
// for the whole read time-out.
TEST_F(SmtpConnect, QuitWaitsOnlyBrieflyForASilentServer) {
    FaultServer server(greeted().expect("QUIT").silence(8000));
    ASSERT_TRUE(server.start());
    auto smtp = std::make_unique<SmtpConnImpl>();
    ASSERT_TRUE(connect(*smtp, "127.0.0.1", server.port(), "", "", 20000)) << xml(log);
    const uint32_t start = platform::tickCount();
    smtp.reset();
    const uint32_t took = platform::tickCount() - start;
    EXPECT_GE(took, SmtpConnImpl::kQuitReplyTimeoutMs - 100);
    EXPECT_LT(took, SmtpConnImpl::kQuitReplyTimeoutMs + 3000);
}

// ---------------------------------------------------------------- scripts as text

TEST(FaultScriptText, ParsesEveryStepKind) {
    FaultScript s;
    std::string error;
    ASSERT_TRUE(
        FaultScript::parse("# greeting\n"
                           "S: 220 hi\n"
                           "C: EHLO\n"
                           "SPLIT 20: 250-a\\r\\n|250 b\\r\\n\n"
                           "S+: 25\n"
                           "BYTES 10\n"
                           "SILENT 5\n"
                           "HUGE 100\n"
                           "ACCEPT\nCLOSE\nRESET\n",
                           s, error))
        << error;
    ASSERT_EQ(s.steps().size(), 10u);
    EXPECT_EQ(s.steps()[0].chunks[0], "220 hi\r\n");
    EXPECT_EQ(s.steps()[1].text, "EHLO");
    EXPECT_EQ(s.steps()[2].chunks.size(), 2u);
    EXPECT_EQ(s.steps()[2].chunks[1], "250 b\r\n");
    EXPECT_EQ(s.steps()[2].pauseMs, 20u);
    EXPECT_EQ(s.steps()[3].chunks[0], "25");
    EXPECT_EQ(s.steps()[4].count, 10u);
    EXPECT_FALSE(FaultScript::parse("SEND something\n", s, error));
    EXPECT_EQ(error, "SEND something");
}

}  // namespace
