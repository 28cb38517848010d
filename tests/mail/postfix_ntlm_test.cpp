// AUTH NTLM against a real server: a private Postfix with Cyrus SASL's NTLM
// on 127.0.0.1, started for each test. Cyrus answers with a Unicode
// challenge without extended session security or target info, so these
// runs cover the NTLMv1 response; the other forms rest on the published
// examples and impacket. POSIX only: Postfix runs on the Linux side.
#include <gtest/gtest.h>

#include <string>

#include "integration/postfix_process.h"
#include "mail/cls_mail_man.h"
#include "mail/ms_sspi.h"
#include "mime/cls_email.h"
#include "platform/identity.h"
#include "support/engine_log.h"

using namespace testsupport;

namespace {

#ifndef _WIN32
const char kUser[] = "alice";
const char kPassword[] = "Pa55 w0rd, longer than fourteen";

class PostfixNtlm : public ::testing::Test {
  protected:
    void TearDown() override {
        platform::setUserNameForTesting(nullptr);
        MsSspi::hidePackageForTesting(nullptr);
    }

    void serve(const std::string& user, const std::string& password, const std::string& mechs) {
        std::string why;
        if (!m_postfix.start(user, password, mechs, why)) {
            if (m_postfix.skipped()) GTEST_SKIP() << why;
            FAIL() << why << m_postfix.logTail();
        }
    }

    // Sends one message through a new mail manager, whose log stays in m_log.
    bool send(const std::string& user, const std::string& password) {
        ClsMailMan mm;
        XString host = xs("127.0.0.1"), u = xs(user), p = xs(password);
        mm.put_SmtpHost(host);
        mm.put_SmtpPort(m_postfix.port());
        mm.put_SmtpUsername(u);
        mm.put_SmtpPassword(p);
        ClsEmail email;
        XString from = xs("alice@example.com"), name = xs(""), to = xs("bob@far-away.example"),
                body = xs("Sent after AUTH NTLM.");
        email.put_From(from);
        email.AddTo(name, to);
        email.put_Body(body);
        const bool sent = mm.SendEmail(email);
        m_log = xml(mm.log());
        m_response = data(mm.log(), "response");
        m_alt = data(mm.log(), "alt_login_method");
        return sent;
    }

    // Our message through the right password, then a wrong one refused.
    void deliverThenRefuse(const std::string& using_) {
        ASSERT_TRUE(send(kUser, kPassword)) << m_log << m_postfix.logTail();
        EXPECT_NE(m_log.find("<info>" + using_ + "</info>"), std::string::npos) << m_log;
        std::vector<std::string> delivered = m_postfix.messages(1);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_NE(delivered[0].find("Sent after AUTH NTLM."), std::string::npos);
        EXPECT_FALSE(send(kUser, "not the password"));
        EXPECT_NE(m_log.find("<error>Logon denied.  Check username, password, and domain</error>"),
                  std::string::npos)
            << m_log;
        EXPECT_EQ(m_response.rfind("535", 0), 0u) << m_log;
        EXPECT_NE(m_log.find("NTLM authentication failed"), std::string::npos);
        EXPECT_EQ(m_log.find(kPassword), std::string::npos);
    }

    smtp_integration::PostfixSasl m_postfix;
    std::string m_log, m_response, m_alt;
};

// The SYSTEM account takes our own NTLM messages.
TEST_F(PostfixNtlm, OwnMessagesUnderSystemAreAcceptedAndAWrongPasswordRefused) {
    serve(kUser, kPassword, "NTLM");
    if (IsSkipped() || HasFatalFailure()) return;
    platform::setUserNameForTesting("SYSTEM");
    deliverThenRefuse("Using Brenvik NTLM...");
}

// Any other account goes through the security package: the in-process
// provider here.
TEST_F(PostfixNtlm, SecurityPackageIsAcceptedAndAWrongPasswordRefused) {
    serve(kUser, kPassword, "NTLM");
    if (IsSkipped() || HasFatalFailure()) return;
    deliverThenRefuse("Using Microsoft SSPI NTLM.");
}

// "default"/"default" forces NTLM; without the package the client cancels
// the open exchange, and Postfix then takes AUTH LOGIN.
TEST_F(PostfixNtlm, MissingPackageCancelsAndLoginFollows) {
    serve("default", "default", "NTLM LOGIN");
    if (IsSkipped() || HasFatalFailure()) return;
    MsSspi::hidePackageForTesting("NTLM");
    ASSERT_TRUE(send("default", "default")) << m_log << m_postfix.logTail();
    EXPECT_EQ(m_alt, "LOGIN");
    EXPECT_EQ(m_postfix.messages(1).size(), 1u);
}
#endif

}  // namespace
