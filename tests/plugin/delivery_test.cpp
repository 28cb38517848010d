// Real sends through the loaded module: to the capture server of tools/
// and to aiosmtpd with AUTH LOGIN. What arrived is judged by Python's own
// e-mail parser (tests/integration/check_message.py) where Python exists.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host_env.h"
#include "host_support.h"
#include "integration/aiosmtpd_process.h"
#include "tools/smtp_server/smtp_test_server.h"

using host_test::Plugin;
using host_test::ScratchDir;

namespace {

namespace fs = std::filesystem;

const wchar_t kSubject[] = L"Gr\u00FC\u00DFe \u20AC 10 \u65E5\u672C";
const char kSubjectUtf8[] = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 10 \xE6\x97\xA5\xE6\x9C\xAC";

std::string here() { return host_env::utf8Of(fs::current_path()); }

// Every byte value, so that any transfer-encoding slip shows.
std::string attachmentBytes() {
    std::string s;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
    return s;
}

// The full message: sender, To, Cc, Bcc, subject, HTML body, attachment.
void compose(Plugin& p, const ScratchDir& dir) {
    dir.write("data.bin", attachmentBytes());
    ASSERT_TRUE(p->set_from(L"alice@example.com"));
    ASSERT_TRUE(p->add_to(L"bob@example.com"));
    p->add_cc(L"carol@example.com");  // answers false yet adds
    p->add_bcc(L"dave@example.com");
    ASSERT_TRUE(p->set_subject(kSubject));
    ASSERT_TRUE(p->set_html_body(L"<p>Hello <b>HTML</b> \u00E9t\u00E9</p>"));
    ASSERT_TRUE(p->add_attachment((dir.widePath() + L"/data.bin").c_str()));
}

std::vector<std::string> fullMessageExpectations() {
    return {"from=alice@example.com",
            "to=bob@example.com",
            "cc=carol@example.com",
            "no-header=Bcc",
            std::string("subject=") + kSubjectUtf8,
            "html=Hello <b>HTML</b> \xC3\xA9t\xC3\xA9",
            "attachment=data.bin:" + here() + "/data.bin"};
}

// Python's verdict on the message; skipped where there is no Python.
void judge(const std::string& source, const std::vector<std::string>& expectations) {
#ifdef _WIN32
    (void)source;
    (void)expectations;
#else
    std::vector<std::string> args = {source};
    args.insert(args.end(), expectations.begin(), expectations.end());
    std::string report;
    EXPECT_TRUE(smtp_integration::checkMessage(args, report)) << report;
#endif
}

TEST(CaptureDelivery, EveryFieldArrivesAndBccOnlyInTheEnvelope) {
    ScratchDir dir;
    smtptest::CaptureServer server;
    ASSERT_TRUE(server.start());
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"", L""));
    compose(p, dir);
    ASSERT_TRUE(p->send()) << dir.read("smtp_errors.xml");
    EXPECT_EQ(p.takeError(), L"");
    EXPECT_FALSE(dir.exists("smtp_errors.xml"));

    ASSERT_TRUE(server.waitForMessages(1, 5000));
    const smtptest::CapturedMessage m = server.messages()[0];
    EXPECT_EQ(m.mailFrom, "alice@example.com");
    EXPECT_EQ(m.recipients,
              (std::vector<std::string>{"bob@example.com", "carol@example.com", "dave@example.com"}));
    EXPECT_EQ(m.data.find("dave@"), std::string::npos) << m.data;
    dir.write("delivered.eml", m.data);
    judge(here() + "/delivered.eml", fullMessageExpectations());

    // A second message on the same object: same connection after RSET, a
    // new Message-ID, a plain body this time.
    ASSERT_TRUE(p->set_from(L"alice@example.com"));
    ASSERT_TRUE(p->add_to(L"erin@example.com"));
    ASSERT_TRUE(p->set_subject(L"Second"));
    ASSERT_TRUE(p->set_body(L"Zweite Nachricht \u00E4\u00F6\u00FC\r\n.leading dot"));
    ASSERT_TRUE(p->send()) << dir.read("smtp_errors.xml");
    ASSERT_TRUE(server.waitForMessages(2, 5000));
    EXPECT_EQ(server.connections(), 1);
    const std::string t = server.transcript();
    EXPECT_NE(t.find("C: RSET", t.find("C: DATA")), std::string::npos) << t;
    const smtptest::CapturedMessage m2 = server.messages()[1];
    EXPECT_EQ(m2.recipients, std::vector<std::string>{"erin@example.com"});
    dir.write("second.eml", m2.data);
    judge(here() + "/second.eml", {"to=erin@example.com", "subject=Second",
                                   "text=Zweite Nachricht \xC3\xA4\xC3\xB6\xC3\xBC",
                                   "text=\n.leading dot"});
    auto messageId = [](const std::string& d) {
        size_t at = d.find("\r\nMessage-ID: ");
        return at == std::string::npos ? std::string() : d.substr(at, d.find("\r\n", at + 2) - at);
    };
    EXPECT_FALSE(messageId(m.data).empty());
    EXPECT_NE(messageId(m.data), messageId(m2.data));
}

// "Name <addr>" and "addr (Name)": the name goes into the header, the bare
// address into the envelope; a list stays one (invalid) address as before.
TEST(CaptureDelivery, DisplayNamesReachTheHeaderAndBareAddressesTheEnvelope) {
    ScratchDir dir;
    smtptest::CaptureServer server;
    ASSERT_TRUE(server.start());
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"", L""));
    ASSERT_TRUE(p->set_from(L"Alice Smith <alice@example.com>"));
    ASSERT_TRUE(p->add_to(L"\"Bob, the builder\" <bob@example.com>"));
    p->add_cc(L"carol@example.com (Carol)");
    p->add_bcc(L"Dave <dave@example.com>");
    ASSERT_TRUE(p->set_subject(L"Names"));
    ASSERT_TRUE(p->set_body(L"Body"));
    ASSERT_TRUE(p->send()) << dir.read("smtp_errors.xml");
    ASSERT_TRUE(server.waitForMessages(1, 5000));
    const smtptest::CapturedMessage m = server.messages()[0];
    EXPECT_EQ(m.mailFrom, "alice@example.com");
    EXPECT_EQ(m.recipients,
              (std::vector<std::string>{"bob@example.com", "carol@example.com", "dave@example.com"}));
    EXPECT_EQ(m.data.find("Dave"), std::string::npos) << m.data;
    dir.write("names.eml", m.data);
    judge(here() + "/names.eml", {"from=alice@example.com", "from-name=Alice Smith", "to=bob@example.com",
                                  "to-name=Bob, the builder", "cc=carol@example.com"});
}

TEST(CaptureDelivery, RefusedRecipientsWriteTheReasonsToTheErrorFile) {
    ScratchDir dir;
    smtptest::CaptureOptions o;
    o.rejectRecipients = {"bob@example.com"};
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"", L""));
    ASSERT_TRUE(p->set_from(L"alice@example.com"));
    ASSERT_TRUE(p->add_to(L"bob@example.com"));
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    const std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("<error><![CDATA[Failed when sending RCPT TO:<bob@example.com>]]></error>"), std::string::npos)
        << log;
    EXPECT_NE(log.find("<bad_address>bob@example.com</bad_address>"), std::string::npos) << log;
    EXPECT_NE(log.find("<NumSuccess>0</NumSuccess>"), std::string::npos) << log;
    EXPECT_NE(log.find("<error>Send failed.</error>"), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed to connect to SMTP server."), std::string::npos) << log;
}

// connect() is the login test: it logs in on a connection of its own, quits,
// and sets no error code either way.
TEST(CaptureLoginTest, ConnectLogsInAndQuitsWithoutTouchingTheMessage) {
    smtptest::CaptureOptions o;
    o.username = "tester";
    o.password = "s3cret pass";
    o.offerCramMd5 = false;
    o.offerPlain = false;
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"tester",
                              L"s3cret pass"));
    EXPECT_TRUE(p->connect());
    EXPECT_EQ(p.takeError(), L"");
    EXPECT_EQ(server.successfulLogins(), 1);
    const std::string t = server.transcript();
    EXPECT_NE(t.find("C: AUTH LOGIN"), std::string::npos) << t;
    EXPECT_NE(t.find("C: QUIT"), std::string::npos) << t;
    EXPECT_TRUE(server.messages().empty());
}

TEST(CaptureLoginTest, WrongPasswordFailsWithoutACode) {
    ScratchDir dir;
    smtptest::CaptureOptions o;
    o.username = "tester";
    o.password = "right";
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"tester",
                              L"wrong-Pa55"));
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(p.takeError(), L"");
    EXPECT_EQ(server.failedLogins(), 1);
    EXPECT_EQ(server.successfulLogins(), 0);
    EXPECT_FALSE(dir.exists("smtp_errors.xml")) << "only a failed send writes the log";
}

// ---------------------------------------------------------------- aiosmtpd

#ifndef _WIN32
class AiosmtpdDelivery : public ::testing::Test {
  protected:
    void serve(const std::string& messages) {
        std::string why;
        if (!server.start({"--user", "carol", "--password", "Pw 42 secret", "--messages", messages}, why))
            GTEST_SKIP() << "aiosmtpd not available: " << why;
        port = std::to_wstring(server.port());
    }
    smtp_integration::AiosmtpdProcess server;
    std::wstring port;
};

TEST_F(AiosmtpdDelivery, LoginAndDeliverEveryField) {
    ScratchDir dir;
    serve(here() + "/messages.jsonl");
    if (IsSkipped()) return;
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", port.c_str(), L"carol", L"Pw 42 secret"));
    EXPECT_TRUE(p->connect());
    compose(p, dir);
    ASSERT_TRUE(p->send()) << dir.read("smtp_errors.xml");
    std::vector<std::string> want = fullMessageExpectations();
    for (const char* e : {"login=carol", "mail-from=alice@example.com", "rcpt=bob@example.com",
                          "rcpt=carol@example.com", "rcpt=dave@example.com"})
        want.push_back(e);
    judge("jsonl:" + here() + "/messages.jsonl", want);
}

TEST_F(AiosmtpdDelivery, WrongPasswordLeavesTheReasonsButNotThePassword) {
    ScratchDir dir;
    serve(here() + "/messages.jsonl");
    if (IsSkipped()) return;
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", port.c_str(), L"carol", L"Wr0ng-Pass-42"));
    EXPECT_FALSE(p->connect());
    ASSERT_TRUE(p->set_from(L"alice@example.com"));
    ASSERT_TRUE(p->add_to(L"bob@example.com"));
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    const std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("535 5.7.8 Authentication credentials invalid"), std::string::npos) << log;
    EXPECT_NE(log.find("<error>Failed to connect to SMTP server.</error>"), std::string::npos) << log;
    EXPECT_EQ(log.find("Wr0ng-Pass-42"), std::string::npos) << log;
    EXPECT_FALSE(dir.exists("messages.jsonl"));
}
#endif

}  // namespace
