// Logging in to a real SMTP server: aiosmtpd (tests/integration/
// aiosmtpd_server.py) started on 127.0.0.1 for each test. Skipped when no
// python3 with aiosmtpd is present (and on Windows, where the tests run
// under Wine without one).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mail/smtp_conn_impl.h"
#include "smtp_test_support.h"

#include "integration/aiosmtpd_process.h"

using namespace smtptest_support;

namespace {

const char kUser[] = "carol";
const char kPassword[] = "s3cret pass phrase";

#ifndef _WIN32
using smtp_integration::AiosmtpdProcess;
#endif

class Aiosmtpd : public ::testing::Test {
  protected:
    // Starts the server with the options or skips the test.
    void serve(const std::vector<std::string>& options) {
#ifdef _WIN32
        (void)options;
        GTEST_SKIP() << "no aiosmtpd under Windows";
#else
        std::string why;
        m_server = std::make_unique<AiosmtpdProcess>();
        if (!m_server->start(options, why)) GTEST_SKIP() << "aiosmtpd not available: " << why;
        m_port = m_server->port();
#endif
    }

    bool connect(SmtpConnImpl& smtp, const std::string& user, const std::string& password) {
        XString u = xs(user), p = xs(password);
        bool timedOut = false;
        return smtp.smtpConnect("127.0.0.1", m_port, u, p, 5, 5000, log, timedOut);
    }

    // Each mechanism alone, then a wrong password for it.
    void loginWith(const std::vector<std::string>& options, const std::string& method, const std::string& failInfo) {
        std::vector<std::string> all = {"--user", kUser, "--password", kPassword};
        all.insert(all.end(), options.begin(), options.end());
        serve(all);
        if (IsSkipped()) return;
        {
            SmtpConnImpl smtp;
            ASSERT_TRUE(connect(smtp, kUser, kPassword)) << xml(log);
            EXPECT_EQ(data(log, "login_method"), method);
            EXPECT_NE(data(log, "helloResponse").find("AUTH"), std::string::npos);
            EXPECT_EQ(xml(log).find(kPassword), std::string::npos);
        }
        log.ClearLog();
        {
            SmtpConnImpl smtp;
            EXPECT_FALSE(connect(smtp, kUser, "wrong password"));
            EXPECT_TRUE(hasInfo(log, failInfo)) << xml(log);
            EXPECT_TRUE(hasError(log, "535 5.7.8 Authentication credentials invalid")) << xml(log);
        }
    }

    Logger log;
    uint16_t m_port = 0;
#ifndef _WIN32
    std::unique_ptr<AiosmtpdProcess> m_server;
#endif
};

TEST_F(Aiosmtpd, LoginIsPreferredAndWorks) {
    loginWith({}, "LOGIN", "Failed to login using LOGIN method");
}

TEST_F(Aiosmtpd, PlainWorks) {
    loginWith({"--exclude", "LOGIN"}, "PLAIN", "Failed to login using PLAIN method");
}

TEST_F(Aiosmtpd, CramMd5Works) {
    loginWith({"--cram", "--exclude", "LOGIN", "--exclude", "PLAIN"}, "CRAM_MD5",
              "Failed to login using CRAM-MD5 method");
}

TEST_F(Aiosmtpd, SecondConnectReusesTheSessionWithRset) {
    serve({"--user", kUser, "--password", kPassword});
    if (IsSkipped()) return;
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, kUser, kPassword)) << xml(log);
    log.ClearLog();
    ASSERT_TRUE(connect(smtp, kUser, kPassword)) << xml(log);
    EXPECT_TRUE(hasInfo(log, "Using existing/open SMTP connection to send email."));
    EXPECT_EQ(data(log, "login_method"), "<none>");
}

TEST_F(Aiosmtpd, NoCredentialsNoAuth) {
    serve({});
    if (IsSkipped()) return;
    SmtpConnImpl smtp;
    ASSERT_TRUE(connect(smtp, "", "")) << xml(log);
    EXPECT_EQ(data(log, "login_method"), "NONE or already authenticated");
}

}  // namespace
