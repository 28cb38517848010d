// Logging in to a real SMTP server: aiosmtpd (tests/integration/
// aiosmtpd_server.py) started on 127.0.0.1 for each mechanism of
// tests/data/smtp/aiosmtpd_mechanisms.tsv, with the right password and a
// wrong one. Skipped when no python3 with aiosmtpd is present (and on
// Windows, where the tests run under Wine without one).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "integration/aiosmtpd_process.h"
#include "mail/smtp_conn_impl.h"
#include "support/data_file.h"
#include "support/engine_log.h"

using namespace testsupport;

namespace {

TEST(Aiosmtpd, EachMechanismLogsInAndIsRefusedAWrongPassword) {
#ifdef _WIN32
    GTEST_SKIP() << "no aiosmtpd under Windows";
#else
    const char kUser[] = "carol", kPassword[] = "s3cret pass phrase";
    for (const std::string& row : dataLines("smtp/aiosmtpd_mechanisms.tsv")) {
        const auto f = tabFields(row);
        SCOPED_TRACE(f.at(0));
        std::vector<std::string> options = {"--user", kUser, "--password", kPassword};
        std::istringstream more(f.at(2));
        for (std::string o; more >> o;) options.push_back(o);
        smtp_integration::AiosmtpdProcess server;
        std::string why;
        if (!server.start(options, why)) GTEST_SKIP() << "aiosmtpd not available: " << why;
        for (const std::string password : {kPassword, "wrong password"}) {
            SCOPED_TRACE(password);
            const bool right = password == kPassword;
            Logger log;
            SmtpConnImpl smtp;
            XString u = xs(kUser), p = xs(password);
            bool timedOut = false;
            EXPECT_EQ(smtp.smtpConnect("127.0.0.1", server.port(), u, p, 5, 5000, log, timedOut),
                      right)
                << xml(log);
            EXPECT_EQ(data(log, "login_method"), f[0]);
            EXPECT_NE(data(log, "helloResponse").find("AUTH"), std::string::npos);
            EXPECT_EQ(xml(log).find(password), std::string::npos);
            if (right) {
                // A real server takes our RSET: the next connect reuses the session.
                log.ClearLog();
                EXPECT_TRUE(
                    smtp.smtpConnect("127.0.0.1", server.port(), u, p, 5, 5000, log, timedOut));
                EXPECT_TRUE(hasInfo(log, "Using existing/open SMTP connection to send email."));
            } else {
                EXPECT_TRUE(hasInfo(log, f.at(1))) << xml(log);
                EXPECT_TRUE(hasError(log, "535 5.7.8 Authentication credentials invalid"))
                    << xml(log);
            }
        }
    }
#endif
}

}  // namespace
