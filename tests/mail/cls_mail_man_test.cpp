#include "mail/cls_mail_man.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/cls_email.h"
#include "mime/email2.h"
#include "platform/code_pages.h"
#include "platform/identity.h"
#include "plugin/host_env.h"
#include "tools/smtp_server/smtp_test_server.h"

namespace {

XString utf8(const char* s) {
    XString x;
    x.setFromUtf8(s);
    return x;
}

std::string hostAfter(const char* given) {
    ClsMailMan mm;
    XString x = utf8(given);
    mm.put_SmtpHost(x);
    return mm.smtpHost().getString();
}

std::string xmlOf(ClsMailMan& mm) {
    StringBuffer sb;
    EXPECT_TRUE(mm.log().GetXml(sb));
    return sb.getString();
}

// A mail manager aimed at a loopback port where nothing listens.
void aimAtDeadServer(ClsMailMan& mm, const char* user, const char* password) {
    XString h = utf8("127.0.0.1"), u = utf8(user), p = utf8(password);
    mm.put_SmtpHost(h);
    mm.put_SmtpPort(host_env::closedLoopbackPort());
    mm.put_SmtpUsername(u);
    mm.put_SmtpPassword(p);
}

std::string expectedHeader(const char* operation) {
    std::string user;
    platform::userName(user);
    return std::string("<") + operation + ">\r\n<DllDate>Feb  8 2009</DllDate>\r\n<Username>" +
           user + "</Username>\r\n<Component>";
}

TEST(MailManagerSettings, Defaults) {
    ClsMailMan mm;
    EXPECT_STREQ(mm.smtpHost().getString(), "localhost");
    EXPECT_EQ(mm.smtpPort(), 25);
    EXPECT_TRUE(mm.smtpUsername().isEmpty());
    EXPECT_TRUE(mm.smtpPassword().isEmpty());
    EXPECT_EQ(mm.connectTimeoutSeconds(), 30);
    EXPECT_EQ(mm.readTimeoutSeconds(), 30);
}

TEST(MailManagerSettings, HostLosesSchemeSlashesAndCapitals) {
    EXPECT_EQ(hostAfter("HTTPS://Mail.Example.COM/"), "mail.example.com");
    EXPECT_EQ(hostAfter("http://a/b/"), "ab");
    EXPECT_EQ(hostAfter("Http://smtp.example.org"), "smtp.example.org");
    EXPECT_EQ(hostAfter("smtp.example.com"), "smtp.example.com");
    EXPECT_EQ(hostAfter("http://https://x/"), "x");
    EXPECT_EQ(hostAfter("mail.http://example.com"), "mail.example.com");
    EXPECT_EQ(hostAfter("///"), "");
    // Only complete schemes go; "http:" alone stays.
    EXPECT_EQ(hostAfter("http:host"), "http:host");
}

TEST(MailManagerSettings, EmptyHostReplacesTheDefault) {
    EXPECT_EQ(hostAfter(""), "");
}

TEST(MailManagerSettings, HostReplacesThePreviousOne) {
    ClsMailMan mm;
    XString a = utf8("first.example"), b = utf8("SECOND");
    mm.put_SmtpHost(a);
    mm.put_SmtpHost(b);
    EXPECT_STREQ(mm.smtpHost().getString(), "second");
}

TEST(MailManagerSettings, HostLowerCasesTheUpperLatin1Block) {
    // The host is kept in the ANSI code page; pin it so the test does not
    // depend on the machine's locale.
    platform::setCodePagesForTesting(1252, 437);
    // U+00C9 (0xC9 in 1252) is raised to 0xE9; U+00DE (0xDE) to 0xFE.
    EXPECT_EQ(hostAfter("\xC3\x89-\xC3\x9E.example"), "\xE9-\xFE.example");
    platform::setCodePagesForTesting(0, 0);
}

TEST(MailManagerSettings, PortIsStoredWithoutRangeCheck) {
    ClsMailMan mm;
    for (int port : {0, -5, 587, 65536, 2147483647}) {
        mm.put_SmtpPort(port);
        EXPECT_EQ(mm.smtpPort(), port);
    }
}

TEST(MailManagerSettings, CredentialsAreCopies) {
    ClsMailMan mm;
    XString u = utf8("alice"), p = utf8(
                                   "s\xC3\xA9"
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

TEST(VerifySmtpLogin, EmptyUsernameStopsFirst) {
    ClsMailMan mm;
    EXPECT_FALSE(mm.VerifySmtpLogin());
    std::string xml = xmlOf(mm);
    EXPECT_NE(xml.find(expectedHeader("VerifySmtpLogin")), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error>SMTP username is empty.</error>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("password"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("connect"), std::string::npos) << xml;
}

TEST(VerifySmtpLogin, EmptyPasswordIsReported) {
    ClsMailMan mm;
    XString u = utf8("alice");
    mm.put_SmtpUsername(u);
    EXPECT_FALSE(mm.VerifySmtpLogin());
    std::string xml = xmlOf(mm);
    EXPECT_NE(xml.find("<error>SMTP password is empty.</error>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("username is empty"), std::string::npos) << xml;
}

TEST(VerifySmtpLogin, UnreachableServerFailsWithoutLoggingThePassword) {
    ClsMailMan mm;
    aimAtDeadServer(mm, "alice", "Pw-9b1f-Secret");
    EXPECT_FALSE(mm.VerifySmtpLogin());
    std::string xml = xmlOf(mm);
    EXPECT_NE(xml.find("<VerifySmtpLogin>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("Pw-9b1f-Secret"), std::string::npos) << xml;
    // Every context was left again.
    EXPECT_EQ(mm.log().contextDepth(), 1u);
}

TEST(VerifySmtpLogin, EachCallStartsANewLog) {
    ClsMailMan mm;
    mm.VerifySmtpLogin();
    mm.VerifySmtpLogin();
    std::string xml = xmlOf(mm);
    EXPECT_EQ(xml.find("<VerifySmtpLogin>"), xml.rfind("<VerifySmtpLogin>")) << xml;
}

TEST(SendEmail, LogsHeaderThenRecipientsInOrder) {
    ClsMailMan mm;
    aimAtDeadServer(mm, "alice", "pw");
    ClsEmail email;
    XString n1 = utf8("Bob"), a1 = utf8("bob@example.com");
    XString n2 = utf8(""), a2 = utf8("eve@example.com");
    XString n3 = utf8(""), a3 = utf8("carol@example.com");
    ASSERT_TRUE(email.AddTo(n1, a1));
    ASSERT_TRUE(email.AddTo(n2, a2));
    ASSERT_TRUE(email.AddCC(n3, a3));

    EXPECT_FALSE(mm.SendEmail(email));
    std::string xml = xmlOf(mm);
    EXPECT_EQ(xml.find(expectedHeader("SendEmail")), std::string("<BrenvikLog>\r\n").size()) << xml;
    const std::string recipients =
        "<Recipients>\r\n"
        "<NumTo>2</NumTo>\r\n"
        "<To>bob@example.com</To>\r\n"
        "<To>eve@example.com</To>\r\n"
        "<NumCC>1</NumCC>\r\n"
        "<CC>carol@example.com</CC>\r\n"
        "<NumBCC>0</NumBCC>\r\n"
        "</Recipients>\r\n";
    EXPECT_NE(xml.find(recipients), std::string::npos) << xml;
    // Bare addresses only: the display name is not part of the envelope.
    EXPECT_EQ(xml.find("Bob"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error>"), std::string::npos) << xml;
    EXPECT_EQ(mm.log().contextDepth(), 1u);
}

TEST(SendEmail, BlindRecipientsAreLoggedToo) {
    ClsMailMan mm;
    aimAtDeadServer(mm, "u", "p");
    ClsEmail email;
    XString n = utf8(""), a = utf8("hidden@example.com"), b = utf8("other@example.com");
    email.AddBcc(n, a);
    email.AddBcc(n, b);
    EXPECT_FALSE(mm.SendEmail(email));
    std::string xml = xmlOf(mm);
    EXPECT_NE(xml.find("<NumTo>0</NumTo>\r\n<NumCC>0</NumCC>\r\n<NumBCC>2</NumBCC>\r\n"
                       "<BCC>hidden@example.com</BCC>\r\n<BCC>other@example.com</BCC>\r\n"),
              std::string::npos)
        << xml;
}

TEST(SendEmail, ClearsTheSendingFlagAndTheEarlierLog) {
    ClsMailMan mm;
    aimAtDeadServer(mm, "u", "Secret-77");
    mm.VerifySmtpLogin();
    ClsEmail email;
    EXPECT_FALSE(mm.SendEmail(email));
    EXPECT_FALSE(email.isSending());
    std::string xml = xmlOf(mm);
    EXPECT_EQ(xml.find("VerifySmtpLogin"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("Secret-77"), std::string::npos) << xml;
}

TEST(SendEmail, LeavesTheMessageAsItWas) {
    ClsMailMan mm;
    aimAtDeadServer(mm, "u", "p");
    ClsEmail email;
    XString n = utf8(""), a = utf8("bob@example.com"), s = utf8("Subject");
    email.AddTo(n, a);
    email.put_Subject(s);
    mm.SendEmail(email);
    EXPECT_EQ(email.numTo(), 1);
    bool created = false;
    StringBuffer subject;
    email.getEmailTree(created)->getSubject(subject);
    EXPECT_FALSE(created);
    EXPECT_STREQ(subject.getString(), "Subject");
}

}  // namespace

// ---------------------------------------------------------------- against the capture server

namespace {

using smtptest::CaptureOptions;
using smtptest::CaptureServer;
using smtptest::FaultScript;
using smtptest::FaultServer;

bool logHas(ClsMailMan& mm, const std::string& text) {
    return xmlOf(mm).find(text) != std::string::npos;
}

void aimAt(ClsMailMan& mm, uint16_t port, const char* user = "", const char* password = "") {
    XString h = utf8("127.0.0.1"), u = utf8(user), p = utf8(password);
    mm.put_SmtpHost(h);
    mm.put_SmtpPort(port);
    mm.put_SmtpUsername(u);
    mm.put_SmtpPassword(p);
}

void compose(ClsEmail& email, const char* to = "bob@example.com") {
    XString from = utf8("Alice <alice@example.com>"), n = utf8(""), a = utf8(to), s = utf8("Hello"),
            b = utf8("Body text");
    email.put_From(from);
    EXPECT_TRUE(email.AddTo(n, a));
    email.put_Subject(s);
    email.put_Body(b);
}

std::string headerOf(const std::string& text, const std::string& name) {
    size_t at = text.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return text.substr(at, text.find("\r\n", at) - at);
}

TEST(SendEmailDelivery, CopyLosesReturnPathButTheCallersMessageKeepsIt) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    aimAt(mm, server.port());
    ClsEmail email;
    compose(email);
    bool created = false;
    email.getEmailTree(created)->setHeaderField("Return-Path", "<bounce@example.com>");

    ASSERT_TRUE(mm.SendEmail(email)) << xmlOf(mm);
    ASSERT_TRUE(server.waitForMessages(1, 5000));
    const auto msg = server.messages()[0];
    EXPECT_EQ(msg.mailFrom, "bounce@example.com");
    EXPECT_EQ(msg.data.find("Return-Path"), std::string::npos) << msg.data;
    EXPECT_EQ(headerOf(msg.data, "Subject"), "Hello");

    StringBuffer kept;
    EXPECT_TRUE(email.getEmailTree(created)->getHeaderField("Return-Path", kept));
    EXPECT_NE(std::string(kept.getString()).find("bounce@example.com"), std::string::npos);
    EXPECT_FALSE(email.isSending());

    EXPECT_TRUE(logHas(mm, "<NumAccepted>1</NumAccepted>")) << xmlOf(mm);
    EXPECT_TRUE(logHas(mm, "<NumRejected>0</NumRejected>"));
    EXPECT_TRUE(logHas(mm, "<info>Returning success status.</info>"));
    EXPECT_EQ(mm.log().contextDepth(), 1u);
}

TEST(SendEmailDelivery, SecondSendLogsOnlyItselfAndReusesTheConnection) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    aimAt(mm, server.port());
    ClsEmail first, second;
    compose(first, "one@example.com");
    compose(second, "two@example.com");
    ASSERT_TRUE(mm.SendEmail(first)) << xmlOf(mm);
    ASSERT_TRUE(mm.SendEmail(second)) << xmlOf(mm);

    const std::string xml = xmlOf(mm);
    EXPECT_EQ(xml.find("<SendEmail>"), xml.rfind("<SendEmail>")) << xml;
    EXPECT_EQ(xml.find("one@example.com"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<info>Using existing/open SMTP connection to send email.</info>"),
              std::string::npos);
    EXPECT_EQ(xml.find("<SMTP_Connect>"), std::string::npos) << xml;

    ASSERT_TRUE(server.waitForMessages(2, 5000));
    const auto msgs = server.messages();
    EXPECT_EQ(server.connections(), 1);
    EXPECT_NE(headerOf(msgs[0].data, "Message-ID"), headerOf(msgs[1].data, "Message-ID"));
    EXPECT_EQ(msgs[1].recipients, std::vector<std::string>{"two@example.com"});
}

TEST(SendEmailDelivery, EveryRecipientRejectedReportsTheCounts) {
    CaptureOptions o;
    o.rejectRecipients = {"x@example.com", "y@example.com"};
    CaptureServer server(o);
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    aimAt(mm, server.port());
    ClsEmail email;
    compose(email, "x@example.com");
    XString n = utf8(""), y = utf8("y@example.com");
    email.AddCC(n, y);
    EXPECT_FALSE(mm.SendEmail(email));
    const std::string xml = xmlOf(mm);
    EXPECT_NE(
        xml.find(
            "<NumSuccess>0</NumSuccess>\r\n<NumTotal>2</NumTotal>\r\n<error>Send failed.</error>"),
        std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("Timed out"), std::string::npos);
    EXPECT_EQ(server.messages().size(), 0u);
    EXPECT_FALSE(email.isSending());
}

TEST(SendEmailDelivery, UnreachableServerNamesTheConnectFailure) {
    ClsMailMan mm;
    aimAtDeadServer(mm, "u", "p");
    ClsEmail email;
    compose(email);
    EXPECT_FALSE(mm.SendEmail(email));
    const std::string xml = xmlOf(mm);
    EXPECT_NE(xml.find("<error>Failed to connect to SMTP server.</error>\r\n</SendEmail>"),
              std::string::npos)
        << xml;
}

TEST(VerifySmtpLoginDelivery, LogsInOnATemporaryConnectionAndQuits) {
    CaptureOptions o;
    o.username = "alice";
    o.password = "Pw-77-secret";
    CaptureServer server(o);
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    aimAt(mm, server.port(), "alice", "Pw-77-secret");
    EXPECT_TRUE(mm.VerifySmtpLogin()) << xmlOf(mm);
    EXPECT_TRUE(logHas(mm, "<info>Success.</info>"));
    EXPECT_FALSE(logHas(mm, "Pw-77-secret"));
    EXPECT_EQ(server.successfulLogins(), 1);
    EXPECT_NE(server.transcript().find("C: QUIT"), std::string::npos) << server.transcript();
    // The persistent connection was not used.
    EXPECT_FALSE(mm.smtpConnection().isConnected());

    aimAt(mm, server.port(), "alice", "wrong");
    EXPECT_FALSE(mm.VerifySmtpLogin());
    EXPECT_TRUE(
        logHas(mm, "<error>Failed to connect to SMTP server.</error>\r\n<error>Failed.</error>"))
        << xmlOf(mm);
    EXPECT_EQ(server.failedLogins(), 1);
}

TEST(VerifySmtpLoginDelivery, EmptyUsernameNeverConnects) {
    CaptureServer server;
    ASSERT_TRUE(server.start());
    ClsMailMan mm;
    aimAt(mm, server.port(), "", "pw");
    EXPECT_FALSE(mm.VerifySmtpLogin());
    EXPECT_TRUE(logHas(mm, "<error>SMTP username is empty.</error>"));
    EXPECT_EQ(server.connections(), 0);
}

// The end-of-data answer comes too late: the message counts as sent, and the
// next send starts on a new connection instead of reading that late answer
// as the reply to its RSET.
TEST(SendEmailDelivery, LateEndOfDataAnswerIsNotReadByTheNextSend) {
    std::string bad;
    FaultScript s;
    ASSERT_TRUE(
        FaultScript::parse("S: 220 one\nC: EHLO \nS: 250 one\nC: MAIL FROM\nS: 250 ok\nC: RCPT TO\n"
                           "S: 250 ok\nC: DATA\nS: 354 go\nMESSAGE\nSILENT 700\nS: 250 late\n"
                           "ACCEPT\nS: 220 two\nC: EHLO \nS: 250 two\nC: MAIL FROM\nS: 250 ok\n"
                           "C: RCPT TO\nS: 250 ok\nC: DATA\nS: 354 go\nMESSAGE\nS: 250 queued\n"
                           "C: QUIT\nS: 221 bye\n",
                           s, bad))
        << bad;
    FaultServer server(s);
    ASSERT_TRUE(server.start());
    {
        ClsMailMan mm;
        mm.setTimeoutsForTesting(5, 400);
        aimAt(mm, server.port());
        for (int i = 0; i < 2; ++i) {
            ClsEmail email;
            compose(email);
            EXPECT_TRUE(mm.SendEmail(email)) << i << xmlOf(mm);
        }
        EXPECT_TRUE(logHas(mm, "<info>Need new SMTP connection</info>")) << xmlOf(mm);
    }
    EXPECT_TRUE(server.finish()) << server.failure();
}

}  // namespace
