// Logging in to real servers and sending through them: a private Postfix
// with Cyrus SASL's NTLM and aiosmtpd, each started on 127.0.0.1 for the
// rows of tests/data/smtp/real_servers.txt. Skipped when one is missing,
// and on Windows: both run on the Linux side.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "integration/aiosmtpd_process.h"
#include "integration/postfix_process.h"
#include "mail/cls_mail_man.h"
#include "mail/ms_sspi.h"
#include "mail_test_support.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "platform/identity.h"
#include "support/data_file.h"

using namespace testsupport;

namespace {

#ifndef _WIN32
TEST(RealServers, LogInAndSendOrAreRefused) {
    std::unique_ptr<smtp_integration::PostfixSasl> postfix;
    std::unique_ptr<smtp_integration::AiosmtpdProcess> aiosmtpd;
    std::unique_ptr<ClsMailMan> mm;
    std::string skipped, missing;  // why this row's server, or any, is missing
    std::string body = "Sent through a real server.", encoding;
    for (CaseLine row : readCases("smtp/real_servers.txt")) {
        SCOPED_TRACE(row.where);
        if (row.verb == "serve") {
            postfix.reset();
            aiosmtpd.reset();
            skipped.clear();
            body = "Sent through a real server.";
            encoding.clear();
            platform::setUserNameForTesting(row[4] == "-" ? nullptr : row[4].c_str());
            MsSspi::hidePackageForTesting(row[5] == "-" ? nullptr : row[5].c_str());
            std::string why;
            bool up = false;
            if (row[0] == "postfix") {
                postfix = std::make_unique<smtp_integration::PostfixSasl>();
                up = postfix->start(row[1], row[2], row[3], why, row[6] == "smtputf8");
                if (!up && !postfix->skipped()) ADD_FAILURE() << why << postfix->logTail();
            } else {
                std::vector<std::string> options = {"--user", row[1], "--password", row[2]};
                std::istringstream more(row[3] == "-" ? "" : row[3]);
                for (std::string o; more >> o;) options.push_back(o);
                aiosmtpd = std::make_unique<smtp_integration::AiosmtpdProcess>();
                up = aiosmtpd->start(options, why);
            }
            skipped = up ? "" : row[0] + " not available: " + why + "\n";
            missing += skipped;
            mm = std::make_unique<ClsMailMan>();
            XString host = xs("127.0.0.1");
            mm->put_SmtpHost(host);
            mm->put_SmtpPort(!up ? 0 : postfix ? postfix->port() : aiosmtpd->port());
            continue;
        }
        if (row.verb == "encoding") {
            encoding = row[0];
            continue;
        }
        if (row.verb == "body") {
            body.clear();
            for (int n = row.args.size() > 1 ? std::stoi(row[1]) : 1; n > 0; --n) body += row[0];
            continue;
        }
        if (!skipped.empty()) continue;
        if (row.verb == "option") {
            const size_t eq = row[0].find('=');
            mm->setOption(row[0].substr(0, eq),
                          eq == std::string::npos ? "" : row[0].substr(eq + 1));
            continue;
        }
        // "send-to ADDRESS | ..." is a send to that recipient.
        ASSERT_TRUE(row.verb == "send" || row.verb == "send-to") << row.verb;
        const std::string recipient = row.verb == "send" ? "bob@far-away.example" : row[0];
        if (row.verb == "send-to") row.args.erase(row.args.begin());
        XString user = xs(row[0]), password = xs(row[1]);
        mm->put_SmtpUsername(user);
        mm->put_SmtpPassword(password);
        ClsEmail email;
        XString from = xs("alice@example.com"), name = xs(""), to = xs(recipient), text = xs(body);
        email.put_From(from);
        email.AddTo(name, to);
        email.put_Body(text);
        bool created = false;
        if (!encoding.empty())
            email.getEmailTree(created)->setContentTransferEncoding(encoding.c_str());
        const size_t before = postfix ? postfix->messages().size() : 0;
        Logger& log = mm->log();
        EXPECT_EQ(mm->SendEmail(email), row[2] == "true") << xml(log);
        for (size_t i = 3; i < row.args.size(); ++i) {
            if (row[i].rfind("M:", 0) == 0 || row[i].rfind("T:", 0) == 0) {
                // Delivery follows the 250 after DATA by some time.
                ASSERT_TRUE(postfix) << row[i];
                const auto delivered = postfix->messages(before + 1);
                ASSERT_EQ(delivered.size(), before + 1);
                const std::string& got = delivered.back();
                const std::string want = row[i].substr(2);
                // "T:": the message ends with exactly these bytes.
                const bool found = row[i][0] == 'M' ? got.find(want) != std::string::npos
                                                    : got.size() >= want.size() &&
                                                          got.compare(got.size() - want.size(),
                                                                      want.size(), want) == 0;
                EXPECT_TRUE(found) << row[i] << "\n"
                                   << got.substr(got.size() > 3000 ? got.size() - 3000 : 0);
            } else {
                EXPECT_TRUE(ntlmtest::logShows(log, row[i])) << row[i] << "\n" << xml(log);
            }
        }
        if (row[1] != row[0]) {
            EXPECT_EQ(xml(log).find(row[1]), std::string::npos) << "logged: " << row[1];
        }
    }
    mm.reset();
    platform::setUserNameForTesting(nullptr);
    MsSspi::hidePackageForTesting(nullptr);
    if (!missing.empty()) GTEST_SKIP() << missing;
}
#endif

}  // namespace
