// The mail manager's settings. Its SendEmail and VerifySmtpLogin run in the
// manager_* scenarios (tests/data/smtp); what it logs about recipients and
// the error file are checked through the module (tests/plugin).
#include "mail/cls_mail_man.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/code_pages.h"
#include "support/data_file.h"
#include "support/engine_log.h"

using namespace testsupport;

namespace {

TEST(MailManagerSettings, DefaultsHostNormalisationPortAndCredentials) {
    ClsMailMan mm;
    EXPECT_STREQ(mm.smtpHost().getString(), "localhost");
    EXPECT_EQ(mm.smtpPort(), 25);
    EXPECT_TRUE(mm.smtpUsername().isEmpty());
    EXPECT_TRUE(mm.smtpPassword().isEmpty());
    EXPECT_EQ(mm.connectTimeoutSeconds(), 30);
    EXPECT_EQ(mm.readTimeoutSeconds(), 30);

    platform::setCodePagesForTesting(1252, 437);
    for (const std::string& row : dataLines("smtp/mail_man_hosts.tsv")) {
        XString given = xs(tabFields(row).at(0));
        mm.put_SmtpHost(given);
        EXPECT_EQ(str(mm.smtpHost()), tabFields(row).at(1)) << row;
    }
    platform::setCodePagesForTesting(0, 0);

    for (int port : {0, -5, 587, 65536, 2147483647}) {
        mm.put_SmtpPort(port);
        EXPECT_EQ(mm.smtpPort(), port);
    }
    // The manager keeps copies: changing what it was given changes nothing.
    XString u = xs("alice"), p = xs("s\303\251cret");
    mm.put_SmtpUsername(u);
    mm.put_SmtpPassword(p);
    u.setFromUtf8("changed");
    p.clear();
    EXPECT_STREQ(mm.smtpUsername().getUtf8(), "alice");
    EXPECT_STREQ(mm.smtpPassword().getUtf8(), "s\303\251cret");
}

}  // namespace
