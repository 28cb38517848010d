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
#include "smtp_test_support.h"

using namespace smtptest_support;

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

    // Sends one message through the mail manager; the log stays in mm.
    bool send(ClsMailMan& mm, const std::string& user, const std::string& password) {
        XString host = xs("127.0.0.1"), u = xs(user), p = xs(password);
        mm.put_SmtpHost(host);
        mm.put_SmtpPort(m_postfix.port());
        mm.put_SmtpUsername(u);
        mm.put_SmtpPassword(p);
        ClsEmail email;
        XString from = xs("alice@example.com"), name = xs(""), to = xs("bob@far-away.example"),
                subject = xs("NTLM test"), body = xs("Sent after AUTH NTLM.");
        email.put_From(from);
        email.AddTo(name, to);
        email.put_Subject(subject);
        email.put_Body(body);
        return mm.SendEmail(email);
    }

    static std::string logOf(ClsMailMan& mm) { return xml(mm.log()); }

    smtp_integration::PostfixSasl m_postfix;
};

// The SYSTEM account takes our own NTLM messages.
TEST_F(PostfixNtlm, OwnMessagesUnderSystemAreAcceptedAndAWrongPasswordRefused) {
    serve(kUser, kPassword, "NTLM");
    if (IsSkipped() || HasFatalFailure()) return;
    platform::setUserNameForTesting("SYSTEM");
    {
        ClsMailMan mm;
        ASSERT_TRUE(send(mm, kUser, kPassword)) << logOf(mm) << m_postfix.logTail();
        EXPECT_TRUE(hasInfo(mm.log(), "Using Brenvik NTLM..."));
        EXPECT_TRUE(hasInfo(mm.log(), "NTLM authentication succeeded."));
        std::vector<std::string> delivered = m_postfix.messages(1);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_NE(delivered[0].find("Sent after AUTH NTLM."), std::string::npos);
    }
    ClsMailMan mm;
    EXPECT_FALSE(send(mm, kUser, "not the password"));
    EXPECT_TRUE(hasError(mm.log(), "Logon denied.  Check username, password, and domain"))
        << logOf(mm);
    EXPECT_NE(data(mm.log(), "response").rfind("535", 0), std::string::npos);
    EXPECT_TRUE(hasInfo(mm.log(), "Failed to login using NTLM method"));
}

// Any other account goes through the security package: the in-process
// provider here.
TEST_F(PostfixNtlm, SecurityPackageIsAcceptedAndAWrongPasswordRefused) {
    serve(kUser, kPassword, "NTLM");
    if (IsSkipped() || HasFatalFailure()) return;
    {
        ClsMailMan mm;
        ASSERT_TRUE(send(mm, kUser, kPassword)) << logOf(mm) << m_postfix.logTail();
        EXPECT_TRUE(hasInfo(mm.log(), "Using Microsoft SSPI NTLM."));
        EXPECT_EQ(m_postfix.messages(1).size(), 1u);
    }
    ClsMailMan mm;
    EXPECT_FALSE(send(mm, kUser, "not the password"));
    EXPECT_TRUE(hasError(mm.log(), "NTLM authentication failed")) << logOf(mm);
    EXPECT_TRUE(hasError(mm.log(), "Logon denied.  Check username, password, and domain"));
}

// "default"/"default" forces NTLM; without the package the client cancels
// the open exchange, and Postfix then takes AUTH LOGIN.
TEST_F(PostfixNtlm, MissingPackageCancelsAndLoginFollows) {
    serve("default", "default", "NTLM LOGIN");
    if (IsSkipped() || HasFatalFailure()) return;
    MsSspi::hidePackageForTesting("NTLM");
    ClsMailMan mm;
    ASSERT_TRUE(send(mm, "default", "default")) << logOf(mm) << m_postfix.logTail();
    EXPECT_EQ(data(mm.log(), "alt_login_method"), "LOGIN");
    EXPECT_EQ(m_postfix.messages(1).size(), 1u);
}
#endif

}  // namespace
