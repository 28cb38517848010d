// The mail transaction: the scripted scenarios under tests/data/smtp (one
// file per case) against the fault server, and whole deliveries to the
// capture server.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mail/smtp_conn_impl.h"
#include "mime/email2.h"
#include "platform/code_pages.h"
#include "smtp_test_support.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace smtptest_support;
using smtptest::CaptureServer;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

namespace fs = std::filesystem;

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
    return out;
}

struct Scenario {
    std::string name;
    std::string script;  // FaultScript text
    std::vector<std::pair<std::string, std::string>> directives;

    std::vector<std::string> all(const std::string& key) const {
        std::vector<std::string> v;
        for (const auto& d : directives)
            if (d.first == key) v.push_back(d.second);
        return v;
    }
    std::string one(const std::string& key, const std::string& fallback) const {
        auto v = all(key);
        return v.empty() ? fallback : v.back();
    }
    bool session() const { return one("session", "no") == "yes"; }
};

Email2* scenarioEmail(const Scenario& sc) {
    Email2* email = Email2::createNewEmail();
    email->setFromAddress("a@example.com");
    for (const std::string& a : sc.all("to")) email->addTo("", a.c_str());
    for (const std::string& a : sc.all("cc")) email->addCc("", a.c_str());
    for (const std::string& a : sc.all("bcc")) email->addBcc("", a.c_str());
    std::string body = sc.one("body", "Hi");
    email->setBody(body.data(), static_cast<uint32_t>(body.size()), false);
    for (const std::string& e : sc.all("encoding")) email->setContentTransferEncoding(e.c_str());
    return email;
}

fs::path scenarioDir() {
    return fs::path(SMTP_TEST_DATA_DIR) / "smtp";
}

std::vector<std::string> scenarioNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(scenarioDir(), ec))
        if (entry.path().extension() == ".scenario") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool loadScenario(const std::string& name, Scenario& out) {
    std::ifstream in(scenarioDir() / (name + ".scenario"), std::ios::binary);
    if (!in) return false;
    out.name = name;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("#! ", 0) == 0) {
            std::string rest = line.substr(3);
            size_t colon = rest.find(':');
            if (colon == std::string::npos) return false;
            std::string value = rest.substr(colon + 1);
            if (!value.empty() && value[0] == ' ') value.erase(0, 1);
            out.directives.push_back({rest.substr(0, colon), unescape(value)});
        } else {
            out.script += line + "\n";
        }
    }
    // A transaction file starts at MAIL FROM: the runner greets. A session
    // file scripts the whole conversation itself.
    if (!out.session())
        out.script = "S: 220 fault.test ESMTP\nC: EHLO \nS: 250 fault.test\n" + out.script;
    return true;
}

class TransactionScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(TransactionScenario, Runs) {
    Scenario sc;
    ASSERT_TRUE(loadScenario(GetParam(), sc)) << GetParam();
    FaultScript script;
    std::string bad;
    ASSERT_TRUE(FaultScript::parse(sc.script, script, bad)) << "not understood: " << bad;
    FaultServer server(script, 5000);
    ASSERT_TRUE(server.start());

    // Session files list their steps; a transaction file connects and sends.
    std::vector<std::string> steps = sc.all("step");
    const bool explicitSteps = !steps.empty();
    if (!explicitSteps) steps = {"connect 127.0.0.1 true", "send"};

    Logger log;
    int accepted = -9, total = -9;
    bool timedOut = false, result = false;
    bool wasReset = false;
    {
        SmtpConnImpl smtp;
        XString user = xs(sc.one("user", "")), password = xs(sc.one("password", ""));
        const int readMs = std::stoi(sc.one("read-timeout", "3000"));
        for (const std::string& step : steps) {
            SCOPED_TRACE(step);
            std::istringstream words(step);
            std::string verb, host, expect;
            words >> verb;
            // Each step of a session is judged by its own log.
            if (explicitSteps) log.ClearLog();
            if (verb == "connect") {
                words >> host >> expect;
                const bool ok = smtp.smtpConnect(host.c_str(), server.port(), user, password, 5,
                                                 readMs, log, timedOut);
                if (!explicitSteps) {
                    ASSERT_TRUE(ok) << xml(log);
                }
                EXPECT_EQ(ok ? "true" : "false", expect) << xml(log);
            } else if (verb == "send") {
                words >> expect;
                std::unique_ptr<Email2> email(scenarioEmail(sc));
                std::string from = sc.one("from", "a@example.com");
                StringBuffer reversePath;
                reversePath.setString(from.data(), static_cast<uint32_t>(from.size()));
                result = smtp.sendEmail(email.get(), reversePath, log, accepted, total, timedOut);
                if (!expect.empty()) {
                    EXPECT_EQ(result ? "true" : "false", expect) << xml(log);
                }
            } else {
                FAIL() << "unknown step " << step;
            }
        }
        wasReset = smtp.connectedHost().isEmpty();
    }
    EXPECT_TRUE(server.finish()) << server.failure() << "\n" << xml(log);

    const std::string shown = xml(log);
    if (!explicitSteps) {
        EXPECT_EQ(result ? "true" : "false", sc.one("result", "true")) << shown;
    }
    for (const std::string& n : sc.all("accepted")) EXPECT_EQ(accepted, std::stoi(n)) << shown;
    for (const std::string& n : sc.all("total")) EXPECT_EQ(total, std::stoi(n)) << shown;
    for (const std::string& n : sc.all("timed-out")) EXPECT_EQ(timedOut ? "1" : "0", n);
    for (const std::string& r : sc.all("reset")) EXPECT_EQ(wasReset ? "yes" : "no", r) << shown;
    for (const std::string& t : sc.all("error"))
        EXPECT_TRUE(hasError(log, t)) << t << "\n" << shown;
    for (const std::string& t : sc.all("no-error"))
        EXPECT_FALSE(hasError(log, t)) << t << "\n" << shown;
    for (const std::string& t : sc.all("info")) EXPECT_TRUE(hasInfo(log, t)) << t << "\n" << shown;
    for (const std::string& t : sc.all("no-info"))
        EXPECT_FALSE(hasInfo(log, t)) << t << "\n" << shown;
    for (const std::string& n : sc.all("no-data")) EXPECT_EQ(data(log, n), "<none>") << n;
    for (const auto& d : sc.directives) {
        if (d.first.rfind("data ", 0) != 0) continue;
        std::string name = d.first.substr(5);
        bool found = false;
        for (const Entry& e : entries(log))
            found = found ||
                    (e.kind == 'T' && e.name == name && (d.second.empty() || e.text == d.second));
        EXPECT_TRUE(found) << name << " = " << d.second << "\n" << shown;
    }
    const std::vector<std::string> wire = server.received();
    for (const std::string& t : sc.all("wire")) {
        bool found = false;
        for (const std::string& w : wire) found = found || w.find(t) != std::string::npos;
        EXPECT_TRUE(found) << "not on the wire: " << t;
    }
    // Whatever happened, no smuggled command reached the server.
    for (const std::string& w : wire) EXPECT_NE(w.rfind("RCPT TO:<spy", 0), 0u) << w;
}

INSTANTIATE_TEST_SUITE_P(Files, TransactionScenario, ::testing::ValuesIn(scenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// ---------------------------------------------------------------- whole deliveries

class Delivery : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    bool connect() {
        XString none;
        return smtp.smtpConnect("127.0.0.1", server.port(), none, none, 5, 3000, log, timedOut);
    }
    bool send(Email2& email) {
        StringBuffer from("a@example.com");
        return smtp.sendEmail(&email, from, log, accepted, total, timedOut);
    }
    static Email2* message(const std::string& body) {
        Email2* e = Email2::createNewEmail();
        e->setFromAddress("a@example.com");
        e->addTo("Bob", "bob@example.com");
        e->setHeaderField("Subject", "test");
        e->setBody(body.data(), static_cast<uint32_t>(body.size()), false);
        return e;
    }
    static std::string header(const std::string& text, const std::string& name) {
        size_t at = text.find("\r\n" + name + ": ");
        if (at == std::string::npos) return "";
        at += name.size() + 4;
        return text.substr(at, text.find("\r\n", at) - at);
    }

    CaptureServer server;
    SmtpConnImpl smtp;
    Logger log;
    bool timedOut = false;
    int accepted = 0, total = 0;
};

TEST_F(Delivery, DotLinesArriveIntactAfterUnstuffing) {
    std::unique_ptr<Email2> email(message("top\r\n.single\r\n..double\r\n.\r\nend"));
    // Quoted-printable would hide the dots as "=2E".
    email->setContentTransferEncoding("7bit");
    ASSERT_TRUE(connect()) << xml(log);
    ASSERT_TRUE(send(*email)) << xml(log);
    ASSERT_TRUE(server.waitForMessages(1, 5000));
    const std::string data = server.messages()[0].data;
    EXPECT_NE(data.find("\r\n.single\r\n..double\r\n.\r\nend"), std::string::npos) << data;
    EXPECT_EQ(server.messages()[0].mailFrom, "a@example.com");
}

TEST_F(Delivery, SecondMessageReusesTheConnectionWithANewMessageId) {
    std::unique_ptr<Email2> email(message("one"));
    ASSERT_TRUE(connect());
    ASSERT_TRUE(send(*email)) << xml(log);
    log.ClearLog();
    ASSERT_TRUE(connect());
    ASSERT_TRUE(send(*email)) << xml(log);
    ASSERT_TRUE(server.waitForMessages(2, 5000));
    auto msgs = server.messages();
    const std::string id1 = header(msgs[0].data, "Message-ID"),
                      id2 = header(msgs[1].data, "Message-ID");
    EXPECT_FALSE(id1.empty()) << msgs[0].data;
    EXPECT_NE(id1, id2);
    EXPECT_EQ(server.connections(), 1);
    const std::string t = server.transcript();
    size_t secondMail = t.rfind("C: MAIL FROM");
    ASSERT_NE(secondMail, std::string::npos);
    // Between the two transactions only RSET went out.
    size_t firstEnd = t.find("S: 250", t.find("C: DATA"));
    std::string between = t.substr(firstEnd, secondMail - firstEnd);
    EXPECT_NE(between.find("C: RSET"), std::string::npos) << between;
    EXPECT_EQ(between.find("C: EHLO"), std::string::npos) << between;
}

// The transcript of a reused connection starts with its RSET, so a long-lived
// connection does not keep every earlier message's conversation.
TEST_F(Delivery, ReusedConnectionStartsAFreshTranscript) {
    std::unique_ptr<Email2> first(message("one")), second(message("two"));
    second->addTo("Carol", "carol@example.com");
    ASSERT_TRUE(connect());
    ASSERT_TRUE(send(*first)) << xml(log);
    ASSERT_TRUE(connect());
    ASSERT_TRUE(send(*second)) << xml(log);
    const std::string t = str(smtp.transcript());
    EXPECT_EQ(t.rfind("RSET\r\n", 0), 0u) << t;
    EXPECT_EQ(t.find("MAIL FROM"), t.rfind("MAIL FROM")) << t;
    EXPECT_NE(t.find("carol@example.com"), std::string::npos) << t;
}

TEST_F(Delivery, InternalHeaderFieldsStayHome) {
    std::unique_ptr<Email2> email(message("x"));
    email->setHeaderField("BVX-Internal", "private");
    email->setHeaderField("bvx-lower", "private too");
    email->setHeaderField("X-Kept", "public");
    ASSERT_TRUE(connect());
    ASSERT_TRUE(send(*email)) << xml(log);
    ASSERT_TRUE(server.waitForMessages(1, 5000));
    const std::string data = server.messages()[0].data;
    EXPECT_EQ(data.find("private"), std::string::npos) << data;
    EXPECT_EQ(header(data, "X-Kept"), "public") << data;
}

TEST_F(Delivery, EmptyAndBracketRecipientsAreSkipped) {
    std::unique_ptr<Email2> email(message("x"));
    email->addCc("", ">");
    email->addBcc("", "hidden@example.com");
    ASSERT_TRUE(connect());
    ASSERT_TRUE(send(*email)) << xml(log);
    EXPECT_EQ(total, 2);
    EXPECT_EQ(accepted, 2);
    ASSERT_TRUE(server.waitForMessages(1, 5000));
    auto rcpts = server.messages()[0].recipients;
    EXPECT_EQ(rcpts, (std::vector<std::string>{"bob@example.com", "hidden@example.com"}));
    // The blind copy is in the envelope only.
    EXPECT_EQ(server.messages()[0].data.find("hidden@"), std::string::npos);
}

TEST(TransactionArguments, NoEmailIsAnError) {
    SmtpConnImpl smtp;
    Logger log;
    int accepted = 5, total = 5;
    bool timedOut = true;
    StringBuffer from("a@example.com");
    EXPECT_FALSE(smtp.sendEmail(nullptr, from, log, accepted, total, timedOut));
    EXPECT_TRUE(hasError(log, "email argument to SmtpConnImpl is NULL"));
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(total, 0);
    EXPECT_FALSE(timedOut);
}

TEST(TransactionCharset, Utf8RecipientGoesOutInTheAnsiCodePage) {
    platform::setCodePagesForTesting(1252, 437);
    FaultScript s;
    s.send("220 fault.test\r\n").expect("EHLO ").send("250 fault.test\r\n");
    s.expect("MAIL FROM:<a@example.com>").send("250 OK\r\n");
    s.expect("RCPT TO:<jos\xE9@example.com>").send("250 OK\r\n");
    s.expect("DATA").send("354 go\r\n").expectMessage().send("250 OK\r\n");
    FaultServer server(s, 5000);
    ASSERT_TRUE(server.start());
    Logger log;
    {
        SmtpConnImpl smtp;
        XString none;
        bool timedOut = false;
        ASSERT_TRUE(
            smtp.smtpConnect("127.0.0.1", server.port(), none, none, 5, 3000, log, timedOut));
        std::unique_ptr<Email2> email(Email2::createNewEmail());
        email->addTo("", "jos\xC3\xA9@example.com");
        StringBuffer from("a@example.com");
        int accepted = 0, total = 0;
        EXPECT_TRUE(smtp.sendEmail(email.get(), from, log, accepted, total, timedOut)) << xml(log);
        EXPECT_EQ(data(log, "to"), "jos\xE9@example.com");
    }
    platform::setCodePagesForTesting(0, 0);
    EXPECT_TRUE(server.finish()) << server.failure();
}

}  // namespace
