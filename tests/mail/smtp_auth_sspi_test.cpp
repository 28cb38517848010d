// AUTH NTLM and MSN through the security-package interface, over the
// scripted fault server: the in-process NTLM provider on POSIX, the
// system's NTLM package on Windows (Wine's, with Samba's ntlm_auth). Both
// answer an NTLMv1 challenge with the same NT response.
#include <gtest/gtest.h>

#include <string>

#include "mail/ms_sspi.h"
#include "mail/smtp_conn_impl.h"
#include "ntlm_test_support.h"
#include "smtp_test_support.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace smtptest_support;
using namespace ntlmtest;
using smtptest::base64Decode;
using smtptest::base64Encode;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

// As a Cyrus SASL server sends it: Unicode, OEM, request target, sign,
// NTLM, target type domain; no extended session security, no target info.
const uint32_t kCyrusFlags = 0x00028217;

class SmtpAuthSspi : public ::testing::Test {
  protected:
    void TearDown() override { MsSspi::hidePackageForTesting(nullptr); }

    bool connect(FaultServer& server, const std::string& user, const std::string& password,
                 int readMs = 3000) {
        XString u = xs(user), p = xs(password);
        timedOut = false;
        SmtpConnImpl smtp;
        bool ok = smtp.smtpConnect("127.0.0.1", server.port(), u, p, 5, readMs, log, timedOut);
        transcript = str(smtp.transcript());
        return ok;
    }

    static FaultScript afterAuth(const std::string& listed, const std::string& command) {
        FaultScript s;
        s.send("220 fault.test ESMTP\r\n")
            .expect("EHLO ")
            .send("250-fault.test\r\n250 AUTH " + listed + "\r\n")
            .expect(command)
            .send("334 \r\n");
        return s;
    }

    static FaultScript loginAfterCancel(FaultScript s, const std::string& user,
                                        const std::string& password) {
        s.expect("*")
            .send("501 5.7.0 Authentication cancelled\r\n")
            .expect("AUTH LOGIN")
            .send("334 VXNlcm5hbWU6\r\n")
            .expect(base64Encode(user))
            .send("334 UGFzc3dvcmQ6\r\n")
            .expect(base64Encode(password))
            .send("235 2.7.0 ok\r\n")
            .expect("QUIT")
            .send("221 bye\r\n");
        return s;
    }

    Logger log;
    bool timedOut = false;
    std::string transcript;
};

TEST_F(SmtpAuthSspi, ExplicitCredentialsLogInWithTheNtlmPackage) {
    FaultServer server(afterAuth("NTLM", "AUTH NTLM")
                           .expect(kType1Prefix)
                           .send(challengeLine(kCyrusFlags, "SERVER"))
                           .expect(kType3Prefix)
                           .send("235 2.7.0 Authentication successful\r\n")
                           .expect("QUIT")
                           .send("221 bye\r\n"));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(connect(server, "User", "Password")) << xml(log);
    ASSERT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(data(log, "login_method"), "NTLM");
    EXPECT_TRUE(hasInfo(log, "Using Microsoft SSPI NTLM."));
    std::string type3;
    ASSERT_TRUE(base64Decode(server.received()[3], type3));
    Type3 t = readType3(type3);
    ASSERT_TRUE(t.ok);
    // The published NTLMv1 response for "Password" and this challenge.
    EXPECT_EQ(toHex(t.fields["nt"]), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(transcript.find(kType3Prefix), std::string::npos);
}

TEST_F(SmtpAuthSspi, RefusedTokenAndBrokenPeers) {
    struct Case {
        const char* name;
        FaultScript script;
        std::vector<std::string> errors;
        std::string response;
        bool timedOut;
    };
    Case cases[] = {
        {"535 after the last token",
         afterAuth("NTLM", "AUTH NTLM")
             .expect(kType1Prefix)
             .send(challengeLine(kCyrusFlags, "SERVER"))
             .expect(kType3Prefix)
             .send("535 5.7.8 Error: authentication failed\r\n"),
         {"Logon denied.  Check username, password, and domain", "NTLM authentication failed"},
         "535 5.7.8 Error: authentication failed",
         false},
        // The package refuses the challenge (SEC_E_INVALID_TOKEN): cancelled with "*".
        {"garbage challenge",
         afterAuth("NTLM", "AUTH NTLM")
             .expect(kType1Prefix)
             .send("334 " + base64Encode(std::string(80, '\x07')) + "\r\n")
             .expect("*")
             .send("501 5.7.0 cancelled\r\n"),
         {"NTLM authentication failed"},
         "",
         false},
        {"silence after the first token",
         afterAuth("NTLM", "AUTH NTLM").expect(kType1Prefix).silence(1500),
         {"exchangePackage: failed to get success response",
          "BrenvikSSPI.authenticate: exchange failed", "NTLM authentication failed"},
         "",
         true},
        {"hang-up after the first token",
         afterAuth("NTLM", "AUTH NTLM").expect(kType1Prefix).close(),
         {"exchangePackage: failed to get success response",
          "BrenvikSSPI.authenticate: exchange failed"},
         "",
         false},
        {"silence after the last token",
         afterAuth("NTLM", "AUTH NTLM")
             .expect(kType1Prefix)
             .send(challengeLine(kCyrusFlags, "SERVER"))
             .expect(kType3Prefix)
             .silence(1500),
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
        if (!c.response.empty()) {
            EXPECT_EQ(data(log, "response"), c.response);
        }
        EXPECT_TRUE(hasInfo(log, "Failed to login using NTLM method"));
        EXPECT_EQ(data(log, "alt_login_method"), "<none>");
        EXPECT_EQ(timedOut, c.timedOut);
        server.finish(3000);
        EXPECT_EQ(server.failure(), "");
    }
}

// Without the NTLM package, the open exchange is cancelled before LOGIN.
TEST_F(SmtpAuthSspi, MissingNtlmPackageCancelsThenLogsInWithLogin) {
    MsSspi::hidePackageForTesting("NTLM");
    FaultServer server(loginAfterCancel(afterAuth("NTLM", "AUTH NTLM"), "alice", "S3cret"));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(connect(server, "alice", "S3cret")) << xml(log);
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(data(log, "login_method"), "NTLM");
    EXPECT_TRUE(hasInfo(log, "Using Microsoft SSPI NTLM."));
    EXPECT_EQ(data(log, "alt_login_method"), "LOGIN");
    EXPECT_FALSE(hasError(log, "NTLM authentication failed"));
}

// "default"/"default" forces NTLM even when the server lists only LOGIN,
// and asks for the current logon's credentials.
TEST_F(SmtpAuthSspi, DefaultCredentialsForceNtlmWithTheCurrentLogon) {
    FaultScript s = afterAuth("LOGIN", "AUTH NTLM");
#ifdef _WIN32
    // Wine's package starts with the logon's name but has no password to
    // answer the challenge with.
    s.expect(kType1Prefix).send(challengeLine(kCyrusFlags, "SERVER"));
#endif
    s.expect("*").send("501 5.7.0 cancelled\r\n").expect("QUIT").send("221 bye\r\n");
    FaultServer server(s);
    ASSERT_TRUE(server.start());
    EXPECT_FALSE(connect(server, "default", "default"));
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_TRUE(hasInfo(log, "Username/password is default/default, therefore using NTLM."));
    EXPECT_EQ(data(log, "smtpAuthMethod"), "NTLM");
    EXPECT_TRUE(hasInfo(log, "Using Microsoft SSPI NTLM."));
    EXPECT_TRUE(hasInfo(log, "Using default NTLM credentials."));
    EXPECT_TRUE(hasError(log, "NTLM authentication failed"));
    EXPECT_TRUE(hasInfo(log, "Failed to login using NTLM method"));
#ifndef _WIN32
    EXPECT_EQ(data(log, "status_code"), "SEC_E_NO_CREDENTIALS");
    EXPECT_TRUE(hasError(log, "BrenvikSSPI.authenticate: cannot acquire alternate credentials"));
#endif
}

}  // namespace
