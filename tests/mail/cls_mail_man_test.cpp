// The mail manager: its settings, and SendEmail and VerifySmtpLogin against
// the capture server. What it logs about recipients and the error file are
// checked through the module (tests/plugin).
#include "mail/cls_mail_man.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/cls_email.h"
#include "mime/email2.h"
#include "platform/code_pages.h"
#include "plugin/host_env.h"
#include "support/engine_log.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace testsupport;
using smtptest::CaptureOptions;
using smtptest::CaptureServer;

namespace {

void aimAt(ClsMailMan& mm, uint16_t port, const char* user = "", const char* password = "") {
    XString h = xs("127.0.0.1"), u = xs(user), p = xs(password);
    mm.put_SmtpHost(h);
    mm.put_SmtpPort(port);
    mm.put_SmtpUsername(u);
    mm.put_SmtpPassword(p);
}

void compose(ClsEmail& email, const char* to) {
    XString from = xs("Alice <alice@example.com>"), none = xs(""), a = xs(to), s = xs("Hello"),
            b = xs("Body text");
    email.put_From(from);
    EXPECT_TRUE(email.AddTo(none, a));
    email.put_Subject(s);
    email.put_Body(b);
}

std::string headerOf(const std::string& text, const std::string& name) {
    size_t at = text.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return text.substr(at, text.find("\r\n", at) - at);
}

TEST(MailManagerSettings, DefaultsHostNormalisationPortAndCredentials) {
    ClsMailMan mm;
    EXPECT_STREQ(mm.smtpHost().getString(), "localhost");
    EXPECT_EQ(mm.smtpPort(), 25);
    EXPECT_TRUE(mm.smtpUsername().isEmpty());
    EXPECT_TRUE(mm.smtpPassword().isEmpty());
    EXPECT_EQ(mm.connectTimeoutSeconds(), 30);
    EXPECT_EQ(mm.readTimeoutSeconds(), 30);

    // The host is kept in the ANSI code page: pinned, so that the upper
    // Latin-1 block (U+00C9 is C9 in 1252, raised to E9) does not depend on
    // the machine.
    platform::setCodePagesForTesting(1252, 437);
    const std::pair<const char*, const char*> hosts[] = {
        {"HTTPS://Mail.Example.COM/", "mail.example.com"},
        {"http://a/b/", "ab"},
        {"Http://smtp.example.org", "smtp.example.org"},
        {"http://https://x/", "x"},
        {"mail.http://example.com", "mail.example.com"},
        {"///", ""},
        {"", ""},
        {"http:host", "http:host"},  // only complete schemes go
        {"\xC3\x89-\xC3\x9E.example", "\xE9-\xFE.example"},
        {"SECOND", "second"},  // replaces what was there
    };
    for (const auto& [given, kept] : hosts) {
        XString x = xs(given);
        mm.put_SmtpHost(x);
        EXPECT_EQ(std::string(mm.smtpHost().getString()), kept) << given;
    }
    platform::setCodePagesForTesting(0, 0);

    for (int port : {0, -5, 587, 65536, 2147483647}) {
        mm.put_SmtpPort(port);
        EXPECT_EQ(mm.smtpPort(), port);
    }
    XString u = xs("alice"), p =
                                 xs("s\xC3\xA9"
                                    "cret");
    mm.put_SmtpUsername(u);
    mm.put_SmtpPassword(p);
    u.setFromUtf8("changed");
    p.clear();
    EXPECT_STREQ(mm.smtpUsername().getUtf8(), "alice");
    EXPECT_STREQ(mm.smtpPassword().getUtf8(),
                 "s\xC3\xA9"
                 "cret");
}

TEST(VerifySmtpLogin, CheckedCredentialsThenATemporaryConnection) {
    CaptureOptions o;
    o.username = "alice";
    o.password = "Pw-77-secret";
    CaptureServer server(o);
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    const struct {
        uint16_t port;
        const char *user, *password;
        bool ok;
        const char* error;
    } cases[] = {
        {server.port(), "", "pw", false, "SMTP username is empty."},
        {server.port(), "alice", "", false, "SMTP password is empty."},
        {static_cast<uint16_t>(host_env::closedLoopbackPort()), "alice", "Pw-9b1f-Secret", false,
         "Failed."},
        {server.port(), "alice", "wrong-Pw-77", false, "Failed to connect to SMTP server."},
        {server.port(), "alice", "Pw-77-secret", true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.password);
        aimAt(mm, c.port, c.user, c.password);
        EXPECT_EQ(mm.VerifySmtpLogin(), c.ok);
        const std::string x = xml(mm.log());
        // Each call starts a new log, with its header, and leaves every context.
        EXPECT_EQ(x.find("<VerifySmtpLogin>"), x.rfind("<VerifySmtpLogin>")) << x;
        EXPECT_NE(x.find("<DllDate>Feb  8 2009</DllDate>\r\n<Username>"), std::string::npos) << x;
        EXPECT_EQ(mm.log().contextDepth(), 1u);
        if (std::string(c.password).size() > 2) {
            EXPECT_EQ(x.find(c.password), std::string::npos) << x;
        }
        EXPECT_TRUE(c.ok ? hasInfo(mm.log(), "Success.") : hasError(mm.log(), c.error)) << x;
    }
    // Only the last two reached the server, each on its own connection that
    // ended with QUIT; the persistent connection was never used.
    EXPECT_EQ(server.connections(), 2);
    EXPECT_EQ(server.failedLogins(), 1);
    EXPECT_EQ(server.successfulLogins(), 1);
    EXPECT_NE(server.transcript().find("C: QUIT"), std::string::npos);
    EXPECT_FALSE(mm.smtpConnection().isConnected());
}

TEST(SendEmail, DeliversACopyWithoutReturnPathAndReusesTheConnection) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    aimAt(mm, server.port());
    ClsEmail first, second;
    compose(first, "one@example.com");
    compose(second, "two@example.com");
    XString none = xs(""), cc = xs("cc@example.com"), bcc = xs("bcc@example.com");
    first.AddCC(none, cc);
    first.AddBcc(none, bcc);
    bool created = false;
    first.getEmailTree(created)->setHeaderField("Return-Path", "<bounce@example.com>");

    ASSERT_TRUE(mm.SendEmail(first)) << xml(mm.log());
    EXPECT_TRUE(hasInfo(mm.log(), "Returning success status."));
    EXPECT_EQ(data(mm.log(), "NumAccepted"), "3");
    EXPECT_EQ(data(mm.log(), "NumRejected"), "0");
    EXPECT_FALSE(first.isSending());
    // The caller's message keeps its Return-Path.
    StringBuffer kept;
    EXPECT_TRUE(first.getEmailTree(created)->getHeaderField("Return-Path", kept));
    EXPECT_NE(str(kept).find("bounce@example.com"), std::string::npos);

    ASSERT_TRUE(mm.SendEmail(second)) << xml(mm.log());
    const std::string x = xml(mm.log());
    EXPECT_EQ(x.find("<SendEmail>"), x.rfind("<SendEmail>")) << x;
    EXPECT_EQ(x.find("one@example.com"), std::string::npos) << x;
    EXPECT_TRUE(hasInfo(mm.log(), "Using existing/open SMTP connection to send email."));
    EXPECT_EQ(mm.log().contextDepth(), 1u);

    ASSERT_TRUE(server.waitForMessages(2, 5000));
    const auto msgs = server.messages();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(msgs[0].mailFrom, "bounce@example.com");
    EXPECT_EQ(msgs[0].data.find("Return-Path"), std::string::npos) << msgs[0].data;
    EXPECT_EQ(headerOf(msgs[0].data, "Subject"), "Hello");
    EXPECT_NE(headerOf(msgs[0].data, "Message-ID"), headerOf(msgs[1].data, "Message-ID"));
    EXPECT_EQ(msgs[1].recipients, std::vector<std::string>{"two@example.com"});
}

TEST(SendEmail, FailuresReportTheirCountsAndLeaveTheMessageAsItWas) {
    CaptureOptions o;
    o.rejectRecipients = {"x@example.com", "y@example.com"};
    CaptureServer server(o);
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    ClsEmail email;
    compose(email, "x@example.com");
    XString none = xs(""), y = xs("y@example.com");
    email.AddCC(none, y);

    aimAt(mm, server.port());
    EXPECT_FALSE(mm.SendEmail(email));
    EXPECT_NE(xml(mm.log()).find("<NumSuccess>0</NumSuccess>\r\n<NumTotal>2</NumTotal>\r\n"
                                 "<error>Send failed.</error>"),
              std::string::npos)
        << xml(mm.log());
    EXPECT_EQ(server.messages().size(), 0u);

    aimAt(mm, host_env::closedLoopbackPort(), "u", "Secret-77");
    EXPECT_FALSE(mm.SendEmail(email));
    EXPECT_NE(
        xml(mm.log()).find("<error>Failed to connect to SMTP server.</error>\r\n</SendEmail>"),
        std::string::npos)
        << xml(mm.log());
    EXPECT_EQ(xml(mm.log()).find("Secret-77"), std::string::npos);
    EXPECT_FALSE(email.isSending());
    EXPECT_EQ(email.numTo(), 1);
    StringBuffer subject;
    bool created = false;
    email.getEmailTree(created)->getSubject(subject);
    EXPECT_FALSE(created);
    EXPECT_EQ(str(subject), "Hello");
}

}  // namespace
