// Choosing the AUTH mechanism and the LOGIN, PLAIN and CRAM-MD5 exchanges,
// against the capture server (which checks the credentials itself) and
// the scripted fault server.
#include <gtest/gtest.h>

#include <string>

#include "mail/smtp_conn_impl.h"
#include "smtp_test_support.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace smtptest_support;
using smtptest::base64Encode;
using smtptest::CaptureOptions;
using smtptest::CaptureServer;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

const char kUser[] = "alice@example.org";
const char kPassword[] = "Pa55-w0rd!secret";

class SmtpAuth : public ::testing::Test {
  protected:
    bool connect(SmtpConnImpl& smtp, uint16_t port, const std::string& user,
                 const std::string& password, int readMs = 3000) {
        XString u = xs(user), p = xs(password);
        timedOut = false;
        return smtp.smtpConnect("127.0.0.1", port, u, p, 5, readMs, log, timedOut);
    }

    static CaptureOptions withLogin(bool login, bool plain, bool cram) {
        CaptureOptions o;
        o.username = kUser;
        o.password = kPassword;
        o.offerLogin = login;
        o.offerPlain = plain;
        o.offerCramMd5 = cram;
        return o;
    }

    static FaultScript greeted(const std::string& ehloReply) {
        FaultScript s;
        s.send("220 fault.test ESMTP\r\n").expect("EHLO ").send(ehloReply);
        return s;
    }

    // Neither the log nor the transcript may show a secret in any form.
    void expectNoSecret(const SmtpConnImpl& smtp, const std::string& secret) {
        std::string x = xml(log), t = str(smtp.transcript());
        for (const std::string& form : {secret, base64Encode(secret)}) {
            EXPECT_EQ(x.find(form), std::string::npos) << form << " in\n" << x;
            EXPECT_EQ(t.find(form), std::string::npos) << form << " in\n" << t;
        }
    }

    Logger log;
    bool timedOut = false;
};

TEST_F(SmtpAuth, LoginIsChosenOverPlainAndCramMd5) {
    CaptureServer server(withLogin(true, true, true));
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, server.port(), kUser, kPassword)) << xml(log);
    EXPECT_EQ(data(log, "login_method"), "LOGIN");
    EXPECT_EQ(server.successfulLogins(), 1);
    EXPECT_NE(server.transcript().find("C: AUTH LOGIN\n"), std::string::npos);
    EXPECT_TRUE(
        hasInfo(log, "CONNECTED to ESMTP server 127.0.0.1:" + std::to_string(server.port())));
    expectNoSecret(smtp, kPassword);
}

TEST_F(SmtpAuth, EachMechanismLogsInWithTheRightPassword) {
    struct Case {
        const char* method;
        bool login, plain, cram;
    } cases[] = {{"LOGIN", true, false, false},
                 {"PLAIN", false, true, false},
                 {"CRAM_MD5", false, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        log.ClearLog();
        CaptureServer server(withLogin(c.login, c.plain, c.cram));
        ASSERT_TRUE(server.start());
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, server.port(), kUser, kPassword)) << xml(log);
        EXPECT_EQ(data(log, "login_method"), c.method);
        EXPECT_EQ(server.successfulLogins(), 1);
        expectNoSecret(smtp, kPassword);
        // AUTH PLAIN goes through the transcript, masked.
        if (c.plain) {
            EXPECT_NE(str(smtp.transcript()).find("AUTH PLAIN ****\r\n"), std::string::npos);
        }
        std::string plainMessage = std::string(kUser) + '\0' + kUser + '\0' + kPassword;
        expectNoSecret(smtp, plainMessage);
    }
}

TEST_F(SmtpAuth, WrongPasswordFailsWithTheMechanismsMessages) {
    struct Case {
        bool login, plain, cram;
        const char* info;
        std::vector<std::string> errors;
    } cases[] = {
        {true,
         false,
         false,
         "Failed to login using LOGIN method",
         {"535 5.7.8 Authentication credentials invalid",
          "Failed to get response to login password"}},
        {false,
         true,
         false,
         "Failed to login using PLAIN method",
         {"535 5.7.8 Authentication credentials invalid"}},
        {false,
         false,
         true,
         "Failed to login using CRAM-MD5 method",
         {"Failed to get successful CRAM-MD5 response",
          "Check your username/password or your SMTP server's auth settings"}},
    };
    const std::string wrong = "not-the-password";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info);
        log.ClearLog();
        CaptureServer server(withLogin(c.login, c.plain, c.cram));
        ASSERT_TRUE(server.start());
        SmtpConnImpl smtp;
        EXPECT_FALSE(connect(smtp, server.port(), kUser, wrong));
        EXPECT_TRUE(hasInfo(log, c.info)) << xml(log);
        for (const std::string& e : c.errors)
            EXPECT_TRUE(hasError(log, e)) << e << "\n" << xml(log);
        EXPECT_EQ(server.failedLogins(), 1);
        // The transcript went to the log as info, still without the password.
        EXPECT_NE(xml(log).find("AUTH "), std::string::npos);
        expectNoSecret(smtp, wrong);
        // The connection is kept; the next connect decides.
        EXPECT_TRUE(smtp.isConnected());
    }
}

TEST_F(SmtpAuth, UnsupportedMechanismsAreLoggedAndSkipped) {
    struct Case {
        const char* listed;
        const char* method;
        const char* error;
    } cases[] = {
        {"DIGEST-MD5", "DIGEST-MD5", "DIGEST-MD5 login method not supported"},
        {"GSSAPI", "GSSAPI", "GSSAPI login method not supported"},
        {"KERBEROS_V4", "Kerberos-V4", "Kerberos v4 login method not supported"},
        {"ANONYMOUS", "anonymous", "Anonymous login method not supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listed);
        log.ClearLog();
        FaultServer server(greeted(std::string("250-fault.test\r\n250 AUTH ") + c.listed + "\r\n")
                               .expect("QUIT")
                               .send("221 bye\r\n"));
        ASSERT_TRUE(server.start());
        {
            SmtpConnImpl smtp;
            EXPECT_TRUE(connect(smtp, server.port(), kUser, kPassword)) << xml(log);
            EXPECT_EQ(data(log, "login_method"), c.method);
            EXPECT_TRUE(hasError(log, c.error));
            EXPECT_TRUE(hasInfo(log, "This SMTP server did not list authentication methods."));
            EXPECT_TRUE(hasInfo(
                log, "CONNECTED to ESMTP server 127.0.0.1:" + std::to_string(server.port())));
        }
        // The next command after EHLO was QUIT: no AUTH went out.
        EXPECT_TRUE(server.finish()) << server.failure();
    }
}

TEST_F(SmtpAuth, RefusedAuthNtlmFailsWithoutFallBack) {
    FaultServer server(greeted("250-fault.test\r\n250 AUTH LOGIN\r\n")
                           .expect("AUTH NTLM")
                           .send("504 5.5.4 Unrecognized authentication type\r\n")
                           .expect("QUIT"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        EXPECT_FALSE(connect(smtp, server.port(), "default", "default"));
        EXPECT_TRUE(hasError(log, "504 5.5.4 Unrecognized authentication type"));
        EXPECT_TRUE(hasError(log, "Failed to send AUTH NTLM"));
        EXPECT_TRUE(hasInfo(log, "Failed to login using NTLM method"));
        EXPECT_EQ(data(log, "alt_login_method"), "<none>");
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpAuth, MsnWithoutPackageGoesStraightToLogin) {
    FaultServer server(greeted("250-fault.test\r\n250 AUTH MSN\r\n")
                           .expect("AUTH LOGIN")
                           .send("334 VXNlcm5hbWU6\r\n")
                           .expect(base64Encode(kUser))
                           .send("334 UGFzc3dvcmQ6\r\n")
                           .expect(base64Encode(kPassword))
                           .send("235 2.7.0 ok\r\n")
                           .expect("QUIT")
                           .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, server.port(), kUser, kPassword)) << xml(log);
        EXPECT_EQ(data(log, "login_method"), "MSN");
        EXPECT_EQ(data(log, "alt_login_method"), "LOGIN");
        expectNoSecret(smtp, kPassword);
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpAuth, ProviderDomainDefaultsToLoginWhenNothingIsListed) {
    const std::string user = "Someone@Login-Default.EXAMPLE";
    FaultServer server(greeted("250-fault.test\r\n250 SIZE 1000\r\n")
                           .expect("AUTH LOGIN")
                           .send("334 VXNlcm5hbWU6\r\n")
                           .expect(base64Encode(user))
                           .send("334 UGFzc3dvcmQ6\r\n")
                           .expect(base64Encode(kPassword))
                           .send("235 2.7.0 ok\r\n")
                           .expect("QUIT")
                           .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, server.port(), user, kPassword)) << xml(log);
        EXPECT_TRUE(hasInfo(log, "This SMTP server did not list authentication methods."));
        EXPECT_TRUE(hasInfo(log, "Defaulting to LOGIN authentication method."));
        EXPECT_EQ(data(log, "login_method"), "LOGIN");
    }
    EXPECT_TRUE(server.finish()) << server.failure();

    // Any other domain: no AUTH at all.
    log.ClearLog();
    FaultServer other(
        greeted("250-fault.test\r\n250 SIZE 1000\r\n").expect("QUIT").send("221 bye\r\n"));
    ASSERT_TRUE(other.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, other.port(), kUser, kPassword)) << xml(log);
        EXPECT_FALSE(hasInfo(log, "Defaulting to LOGIN authentication method."));
        EXPECT_EQ(data(log, "login_method"), "NONE or already authenticated");
    }
    EXPECT_TRUE(other.finish()) << other.failure();
}

TEST_F(SmtpAuth, LoginRefusingTheUsername) {
    FaultServer server(greeted("250-fault.test\r\n250 auth login\r\n")
                           .expect("AUTH LOGIN")
                           .send("334 VXNlcm5hbWU6\r\n")
                           .expect(base64Encode(kUser))
                           .send("535 5.7.8 unknown user\r\n")
                           .expect("QUIT"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        EXPECT_FALSE(connect(smtp, server.port(), kUser, kPassword));
        EXPECT_TRUE(hasError(log, "Failed to get response to login name"));
        EXPECT_TRUE(
            hasError(log, "Check your username/password or your SMTP server's auth settings"));
        EXPECT_TRUE(hasInfo(log, "Failed to login using LOGIN method"));
        expectNoSecret(smtp, kPassword);
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpAuth, AuthLoginRefusedOutright) {
    FaultServer server(greeted("250-fault.test\r\n250 AUTH LOGIN\r\n")
                           .expect("AUTH LOGIN")
                           .send("503 5.5.1 not now\r\n")
                           .expect("QUIT"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        EXPECT_FALSE(connect(smtp, server.port(), kUser, kPassword));
        EXPECT_TRUE(hasError(log, "Failed to send AUTH LOGIN"));
        EXPECT_TRUE(hasInfo(log, "Failed to login using LOGIN method"));
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(SmtpAuth, CramMd5AnswersTheRfc2195ChallengeOnOneLine) {
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    FaultServer server(greeted("250-fault.test\r\n250 AUTH CRAM-MD5\r\n")
                           .expect("AUTH CRAM-MD5")
                           .send("334 " + base64Encode(challenge) + "\r\n")
                           .expect(base64Encode("tim b913a602c7eda7a495b4e6e7334d3890"))
                           .send("235 2.7.0 ok\r\n")
                           .expect("QUIT")
                           .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    {
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, server.port(), "tim", "tanstaaftanstaaf")) << xml(log);
    }
    ASSERT_TRUE(server.finish()) << server.failure();
    // The whole response arrived as one line: exactly the expected base64.
    std::vector<std::string> got = server.received();
    EXPECT_EQ(got[2], base64Encode("tim b913a602c7eda7a495b4e6e7334d3890"));
}

TEST_F(SmtpAuth, CramMd5WithLongUsernameAndPassword) {
    CaptureOptions o = withLogin(false, false, true);
    o.username = std::string(40, 'u');
    o.password = std::string(100, 'p') + "!";
    CaptureServer server(o);
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, server.port(), o.username, o.password)) << xml(log);
    EXPECT_EQ(server.successfulLogins(), 1);
    expectNoSecret(smtp, o.password);
}

TEST_F(SmtpAuth, PlainAcceptsTheLongestMessageAndRefusesLonger) {
    // 2 * username + password + 2 = 1488 bytes at most.
    std::string user(400, 'u');
    std::string fits(SmtpConnImpl::kMaxPlainMessageBytes - 2 - 2 * user.size(), 'p');
    {
        CaptureOptions o = withLogin(false, true, false);
        o.username = user;
        o.password = fits;
        CaptureServer server(o);
        ASSERT_TRUE(server.start());
        SmtpConnImpl smtp;
        ASSERT_TRUE(connect(smtp, server.port(), user, fits)) << xml(log);
        EXPECT_EQ(server.successfulLogins(), 1);
        expectNoSecret(smtp, fits);
    }
    for (size_t extra : {size_t(1), size_t(100000)}) {
        SCOPED_TRACE(extra);
        log.ClearLog();
        std::string tooLong = fits + std::string(extra, 'q');
        FaultServer server(greeted("250-fault.test\r\n250 AUTH PLAIN\r\n").expect("QUIT"));
        ASSERT_TRUE(server.start());
        {
            SmtpConnImpl smtp;
            EXPECT_FALSE(connect(smtp, server.port(), user, tooLong));
            EXPECT_TRUE(hasError(log, "Username and/or password is too long for AUTH PLAIN"));
            EXPECT_TRUE(hasInfo(log, "Failed to login using PLAIN method"));
        }
        // Nothing was sent between EHLO and QUIT.
        EXPECT_TRUE(server.finish()) << server.failure();
    }
}

TEST_F(SmtpAuth, ExchangesRefuseEmptyCredentials) {
    SmtpConnImpl smtp;
    XString empty, pass = xs("x");
    bool tryAnother = true;
    EXPECT_FALSE(smtp.authLoginExchange(empty, pass, log, timedOut));
    EXPECT_FALSE(smtp.authPlainExchange(pass, empty, log, timedOut));
    EXPECT_FALSE(smtp.authCramMd5Exchange(empty, empty, log, timedOut));
    EXPECT_FALSE(smtp.authNtlmExchange(empty, pass, log, timedOut, tryAnother));
    EXPECT_FALSE(tryAnother);
    EXPECT_EQ(entries(log).size(), 1u + 3u);  // the root and three errors
    EXPECT_TRUE(hasError(log, "Username and/or password is empty"));
}

TEST_F(SmtpAuth, HostileAuthRepliesNeverHang) {
    // A challenge that is not base64, then silence: the read time-out ends it.
    FaultServer server(greeted("250-fault.test\r\n250 AUTH CRAM-MD5\r\n")
                           .expect("AUTH CRAM-MD5")
                           .send("334 %%%not base64%%%\r\n")
                           .expect("")
                           .silence(3000));
    ASSERT_TRUE(server.start());
    SmtpConnImpl smtp;
    EXPECT_FALSE(connect(smtp, server.port(), kUser, kPassword, 500));
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(
        hasError(log, "ReadTimeout expired, abandoning attempt to retrieve SMTP response."));
    EXPECT_TRUE(hasInfo(log, "Failed to login using CRAM-MD5 method"));
}

}  // namespace
