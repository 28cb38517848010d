// AUTH NTLM with this library's own NTLM messages, taken under the SYSTEM
// account, against the scripted fault server: the exchange on the wire, the
// published NTLMv1 response inside it, and every way the server can fail it.
#include <gtest/gtest.h>

#include <string>

#include "mail/smtp_conn_impl.h"
#include "ntlm_test_support.h"
#include "platform/identity.h"
#include "smtp_test_support.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace smtptest_support;
using namespace ntlmtest;
using smtptest::base64Decode;
using smtptest::base64Encode;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

class SmtpAuthNtlmOwn : public ::testing::Test {
  protected:
    void SetUp() override { platform::setUserNameForTesting("SYSTEM"); }
    void TearDown() override { platform::setUserNameForTesting(nullptr); }

    bool connect(FaultServer& server, const std::string& user, const std::string& password,
                 int readMs = 3000) {
        XString u = xs(user), p = xs(password);
        timedOut = false;
        SmtpConnImpl smtp;
        bool ok = smtp.smtpConnect("127.0.0.1", server.port(), u, p, 5, readMs, log, timedOut);
        transcript = str(smtp.transcript());
        return ok;
    }

    // Greeting, EHLO listing NTLM, and the server's 334 to AUTH NTLM.
    static FaultScript untilType1() {
        FaultScript s;
        s.send("220 fault.test ESMTP\r\n")
            .expect("EHLO ")
            .send("250-fault.test\r\n250 AUTH NTLM\r\n")
            .expect("AUTH NTLM")
            .send("334 \r\n")
            .expect(kType1Prefix);
        return s;
    }

    Logger log;
    bool timedOut = false;
    std::string transcript;
};

TEST_F(SmtpAuthNtlmOwn, LogsInWithThePublishedResponse) {
    FaultServer server(untilType1()
                           .send(challengeLine(0x00008205, "Server"))
                           .expect(kType3Prefix)
                           .send("235 2.7.0 Authentication successful\r\n")
                           .expect("QUIT")
                           .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(connect(server, "User", "Password")) << xml(log);
    ASSERT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(data(log, "login_method"), "NTLM");
    EXPECT_TRUE(hasInfo(log, "Using Brenvik NTLM..."));
    EXPECT_TRUE(hasInfo(log, "NTLM authentication succeeded."));
    EXPECT_FALSE(hasInfo(log, "Using Microsoft SSPI NTLM."));

    std::vector<std::string> got = server.received();
    std::string type3;
    ASSERT_TRUE(base64Decode(got[3], type3)) << got[3];
    Type3 t = readType3(type3);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(toHex(t.fields["nt"]), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(toHex(t.fields["lm"]), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(t.fields["user"], utf16le("User"));

    // The tokens travel outside the transcript, and the log holds only the
    // challenge's length.
    EXPECT_EQ(transcript.find(kType1Prefix), std::string::npos);
    EXPECT_EQ(transcript.find(kType3Prefix), std::string::npos);
    EXPECT_EQ(xml(log).find(got[3]), std::string::npos);
    EXPECT_EQ(data(log, "NtlmChallenge"),
              std::to_string(challengeLine(0x00008205, "Server").size() - 6));
}

TEST_F(SmtpAuthNtlmOwn, ServerFailuresEndTheLoginWithTheirMessages) {
    struct Case {
        const char* name;
        FaultScript script;
        std::vector<std::string> errors;
        std::string response;  // data "response", when logged
        bool timedOut;
    };
    std::string shortChallenge =
        "334 " + base64Encode(std::string("NTLMSSP\0\2\0\0\0", 12)) + "\r\n";
    Case cases[] = {
        {"TYPE3 refused",
         untilType1()
             .send(challengeLine(0x00008205, "Server"))
             .expect(kType3Prefix)
             .send("535 5.7.8 bad credentials\r\n"),
         {"Logon denied.  Check username, password, and domain", "NTLM authentication failed"},
         "535 5.7.8 bad credentials",
         false},
        {"TYPE1 refused",
         untilType1().send("535 5.7.8 no\r\n"),
         {"Failed to send NTLM TYPE1 response from SMTP server.", "NTLM authentication failed"},
         "",
         false},
        // The client cannot answer a broken challenge: it cancels the exchange with "*".
        {"broken challenge",
         untilType1().send(shortChallenge).expect("*").send("501 5.7.0 cancelled\r\n"),
         {"TYPE2 message is not long enough.", "Failed to decode TYPE2 input message.",
          "NTLM authentication failed"},
         "",
         false},
        {"silence after TYPE1",
         untilType1().silence(1500),
         {"Failed to send NTLM TYPE1 response from SMTP server.", "NTLM authentication failed"},
         "",
         true},
        {"closed after TYPE1",
         untilType1().close(),
         {"Failed to send NTLM TYPE1 response from SMTP server.", "NTLM authentication failed"},
         "",
         false},
        {"silence after TYPE3",
         untilType1().send(challengeLine(0x00088205, "Server")).expect(kType3Prefix).silence(1500),
         {"Logon denied.  Check username, password, and domain", "NTLM authentication failed"},
         "",
         true},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.ClearLog();
        FaultServer server(c.script);
        ASSERT_TRUE(server.start());
        EXPECT_FALSE(connect(server, "User", "Password", 700));
        for (const std::string& e : c.errors)
            EXPECT_TRUE(hasError(log, e)) << e << "\n" << xml(log);
        EXPECT_TRUE(hasInfo(log, "Failed to login using NTLM method"));
        if (!c.response.empty()) {
            EXPECT_EQ(data(log, "response"), c.response);
        }
        EXPECT_EQ(timedOut, c.timedOut);
        EXPECT_EQ(data(log, "alt_login_method"), "<none>");
        server.finish(3000);
        EXPECT_EQ(server.failure(), "");
    }
}

TEST_F(SmtpAuthNtlmOwn, OwnMessagesOnlyUnderSystemWithAnExplicitUser) {
    struct Case {
        const char* account;
        std::string user;
        bool own;
    } cases[] = {
        {"SYSTEM", "User", true},
        {"system", "User", false},  // the account name is compared
                                    // exactly
        {"alice", "User", false},
        {"SYSTEM", " Default ", false},
        {"SYSTEM", "   ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.account) + "/" + c.user);
        platform::setUserNameForTesting(c.account);
        log.ClearLog();
        // Whatever follows the first line after AUTH NTLM, the server hangs up.
        FaultScript s;
        s.send("220 fault.test ESMTP\r\n")
            .expect("EHLO ")
            .send("250-fault.test\r\n250 AUTH NTLM\r\n")
            .expect("AUTH NTLM")
            .send("334 \r\n")
            .expect("")
            .close();
        FaultServer server(s);
        ASSERT_TRUE(server.start());
        connect(server, c.user, "Password", 700);
        EXPECT_EQ(hasInfo(log, "Using Brenvik NTLM..."), c.own) << xml(log);
        EXPECT_EQ(hasInfo(log, "Using Microsoft SSPI NTLM."), !c.own) << xml(log);
        server.finish(3000);
    }
}

}  // namespace
