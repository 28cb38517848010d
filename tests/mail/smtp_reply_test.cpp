// Reply lines, EHLO capabilities, envelope commands and the mail manager's
// settings as values, from the table tests/data/smtp/values.tsv (CRAM-MD5
// responses go over the wire in the auth_cram_md5_* scenarios, and the
// manager sends and logs in in the manager_* ones; what it logs about
// recipients and the error file are checked through the module, in
// tests/plugin); and arguments the connection refuses before it needs a
// socket.
#include "mail/smtp_reply.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "mail/cls_mail_man.h"
#include "mail/smtp_capabilities.h"
#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"
#include "mail/smtp_conn_test_access.h"
#include "platform/code_pages.h"
#include "support/data_file.h"
#include "support/engine_log.h"

using namespace testsupport;

namespace {

StringBuffer buffer(const std::string& s) {
    StringBuffer sb;
    sb.setString(s.data(), static_cast<uint32_t>(s.size()));
    return sb;
}

TEST(SmtpValues, EveryRowOfTheTable) {
    const char* const kinds[] = {"final", "continuation", "unrecognized"};
    const char* const verdicts[] = {"ok", "line-break", "too-long"};
    // SmtpCapabilities::Mechanism's bits, from the lowest.
    const std::string names[] = {"LOGIN",      "PLAIN",  "CRAM-MD5",    "NTLM",      "MSN",
                                 "DIGEST-MD5", "GSSAPI", "KERBEROS_V4", "ANONYMOUS", "XOAUTH2"};
    // One object of each for all rows: clear() must leave nothing of the
    // last reply, and a new host or port replaces the last.
    SmtpCapabilities caps;
    ClsMailMan mm;
    platform::setCodePagesForTesting(1252, 437);
    for (const std::string& row : dataLines("smtp/values.tsv")) {
        SCOPED_TRACE(row);
        const auto f = tabFields(row);
        if (f[0] == "reply") {
            int code = 0;
            EXPECT_EQ(kinds[static_cast<int>(smtpreply::classify(buffer(f.at(1)), code))], f.at(2));
            EXPECT_EQ(code, std::stoi(f.at(3)));
        } else if (f[0] == "ehlo") {
            caps.clear();
            for (size_t i = 4; i < f.size(); ++i) caps.noteEhloLine(buffer(f[i]), i == 4);
            std::string on;
            for (uint32_t bit = 0; bit < 32; ++bit)
                if (caps.has(static_cast<SmtpCapabilities::Mechanism>(1u << bit)))
                    on += (on.empty() ? "" : " ") + (bit < 10 ? names[bit] : std::to_string(bit));
            EXPECT_EQ(on, f.at(1));
            std::istringstream offered(f.at(2)), notOffered(f.at(3));
            for (std::string k; offered >> k;) EXPECT_TRUE(caps.offers(k.c_str())) << k;
            for (std::string k; notOffered >> k;) EXPECT_FALSE(caps.offers(k.c_str())) << k;
        } else if (f[0] == "size") {
            caps.clear();
            caps.noteEhloLine(buffer("250-mail.example.com\r\n"), true);
            caps.noteEhloLine(buffer(f.at(1)));
            EXPECT_EQ(std::to_string(caps.sizeLimit()), f.at(2));
        } else if (f[0] == "path") {
            StringBuffer mail, rcpt;
            const std::string& path = f.at(1);
            EXPECT_EQ(verdicts[static_cast<int>(smtpcmd::mailFrom(buffer(path), mail))], f.at(2));
            EXPECT_EQ(verdicts[static_cast<int>(smtpcmd::rcptTo(buffer(path), rcpt))], f.at(2));
            EXPECT_EQ(str(mail), f[2] == "ok" ? "MAIL FROM:<" + path + ">\r\n" : "");
            EXPECT_EQ(str(rcpt), f[2] == "ok" ? "RCPT TO:<" + path + ">\r\n" : "");
        } else if (f[0] == "host") {
            XString given = xs(f.at(1));
            mm.put_SmtpHost(given);
            EXPECT_EQ(str(mm.smtpHost()), f.at(2));
        } else {
            ASSERT_EQ(f[0], "port");
            mm.put_SmtpPort(std::stoi(f.at(1)));
            EXPECT_EQ(mm.smtpPort(), std::stoi(f[1]));
        }
    }
    platform::setCodePagesForTesting(0, 0);
}

TEST(SmtpArguments, RefusedWithoutASocket) {
    SmtpConnImpl smtp;
    Logger log;
    XString empty, pass = xs("x");
    bool tryAnother = true;
    using M = SmtpCapabilities;
    using A = SmtpConnImplTestAccess;
    EXPECT_FALSE(A::login(smtp, M::kLogin, empty, pass, log, tryAnother));
    EXPECT_FALSE(A::login(smtp, M::kPlain, pass, empty, log, tryAnother));
    EXPECT_FALSE(A::login(smtp, M::kCramMd5, empty, empty, log, tryAnother));
    EXPECT_FALSE(A::login(smtp, M::kNtlm, empty, pass, log, tryAnother));
    EXPECT_FALSE(tryAnother);
    EXPECT_EQ(entries(log).size(), 1u + 3u);  // the root and three errors
    EXPECT_TRUE(hasError(log, "Username and/or password is empty"));

    log.ClearLog();
    int accepted = 5, total = 5;
    bool timedOut = true;
    StringBuffer from("a@example.com");
    EXPECT_FALSE(smtp.sendEmail(nullptr, from, log, accepted, total, timedOut));
    EXPECT_TRUE(hasError(log, "email argument to SmtpConnImpl is NULL"));
    EXPECT_EQ(accepted + total, 0);
    EXPECT_FALSE(timedOut);
}

TEST(MailManagerSettings, DefaultsAndCredentialsKeptAsCopies) {
    ClsMailMan mm;
    EXPECT_STREQ(mm.smtpHost().getString(), "localhost");
    EXPECT_EQ(mm.smtpPort(), 25);
    EXPECT_TRUE(mm.smtpUsername().isEmpty());
    EXPECT_TRUE(mm.smtpPassword().isEmpty());
    EXPECT_EQ(mm.connectTimeoutSeconds(), 30);
    EXPECT_EQ(mm.readTimeoutSeconds(), 30);

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
