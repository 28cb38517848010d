// What a host learns through get_option after a send or a login check: the
// status names, the settings' values, the hint for each known refusal
// (tests/data/plugin/hints.txt), where the error file goes, and whether a
// login check made a login.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host_env.h"
#include "tools/smtp_server/smtp_test_server.h"
#ifndef _WIN32
#include "tools/smtp_server/tls_server.h"
#endif

namespace {

using host_env::narrow;
using host_env::wide;

namespace fs = std::filesystem;

std::string option(host_env::Plugin& p, const wchar_t* name) {
    return narrow(p->get_option(name));
}

// A message from alice to each address, to the server on 127.0.0.1:port.
void compose(host_env::Plugin& p, uint16_t port, const std::vector<std::wstring>& to,
             const wchar_t* user = L"", const wchar_t* password = L"") {
    p->set_server(L"127.0.0.1", std::to_wstring(port).c_str(), user, password);
    p->set_from(L"alice@example.com");
    for (const std::wstring& t : to) p->add_to(t.c_str());
    p->set_subject(L"Status");
    p->set_body(L"Body\r\n");
}

struct HintCase {
    std::string reply;  // lines joined by "\n"
    std::string hint;   // the start of the hint; empty for none
};

// gtest names the case by its reply, not by its bytes.
void PrintTo(const HintCase& c, std::ostream* os) {
    *os << c.reply;
}

std::vector<HintCase> loadHints() {
    std::ifstream in(std::string(SMTP_TEST_DATA_DIR) + "/plugin/hints.txt", std::ios::binary);
    std::vector<HintCase> out;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        HintCase c{line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab + 1)};
        for (size_t at; (at = c.reply.find("\\n")) != std::string::npos;)
            c.reply.replace(at, 2, "\n");
        if (c.hint == "-") c.hint.clear();
        out.push_back(c);
    }
    return out;
}

class Hints : public ::testing::TestWithParam<HintCase> {};

// The server refuses MAIL FROM with the case's reply.
TEST_P(Hints, TheKnownCauseOfARefusalComesWithItsFix) {
    const HintCase& c = GetParam();
    host_env::ScratchDir dir;
    std::string lines;
    for (size_t from = 0;;) {
        const size_t nl = c.reply.find('\n', from);
        lines += "S: " + c.reply.substr(from, nl == std::string::npos ? nl : nl - from) + "\n";
        if (nl == std::string::npos) break;
        from = nl + 1;
    }
    smtptest::FaultScript script;
    std::string error;
    ASSERT_TRUE(smtptest::FaultScript::parse(
        "S: 220 fault.test\nC: EHLO\nS: 250 fault.test\nC: MAIL FROM:\n" + lines, script, error))
        << error;
    smtptest::FaultServer server(script, 5000);
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    compose(p, server.port(), {L"bob@example.com"});
    EXPECT_FALSE(p->send());
    EXPECT_EQ(narrow(p->get_last_error()), "ERROR_SEND_FAILED");
    const std::string lastError = option(p, L"last_error");
    const std::string log = option(p, L"log");
    const std::string finalLine = c.reply.substr(c.reply.rfind('\n') + 1);
    EXPECT_EQ(option(p, L"last_reply"), finalLine);
    // The first error is the server's refusal itself.
    EXPECT_EQ(lastError.rfind(finalLine, 0), 0u) << lastError;
    if (c.hint.empty()) {
        EXPECT_EQ(lastError.find("Hint:"), std::string::npos) << lastError;
        EXPECT_EQ(log.find("Hint:"), std::string::npos);
    } else {
        EXPECT_NE(lastError.find(" Hint: " + c.hint), std::string::npos) << lastError;
        EXPECT_NE(log.find("<info>Hint: " + c.hint), std::string::npos);
        // The error file holds the same log.
        EXPECT_NE(dir.read("smtp_errors.xml").find("<info>Hint: " + c.hint), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, Hints, ::testing::ValuesIn(loadHints()),
                         [](const ::testing::TestParamInfo<HintCase>& i) {
                             std::string name = "row" + std::to_string(i.index + 1) + "_";
                             for (char ch : i.param.reply.substr(0, 9))
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

TEST(Status, BeforeAnySendOnlyTheVersionAndTheSettingsAnswer) {
    host_env::Plugin p = host_env::create();
    EXPECT_EQ(option(p, L"version"), SMTP_PLUGIN_VERSION);
    // No mail manager yet: nothing else is known.
    for (const wchar_t* name : {L"last_error", L"last_reply", L"refused_recipients", L"tls_session",
                                L"auth_used", L"log", L"tls", L"colour"})
        EXPECT_EQ(option(p, name), "") << narrow(name);
    p->open();
    EXPECT_EQ(option(p, L"tls"), "auto");
    EXPECT_EQ(option(p, L"tls_verify"), "on");
    EXPECT_EQ(option(p, L"tls_ca_file"), "");
    EXPECT_EQ(option(p, L"auth"), "auto");
    EXPECT_EQ(option(p, L"connect_timeout"), "30");
    EXPECT_EQ(option(p, L"read_timeout"), "30");
    EXPECT_EQ(option(p, L"error_file"), "smtp_errors.xml");
    EXPECT_EQ(option(p, L"verify_login"), "normal");
    EXPECT_EQ(option(p, L"auth_used"), "none");
    EXPECT_EQ(option(p, L"colour"), "");
    // set_option answers what get_option then gives for the name.
    EXPECT_EQ(narrow(p->set_option(L"TLS", L"StartTLS")), "starttls");
    EXPECT_EQ(narrow(p->set_option(L"read_timeout", L"45")), "45");
    EXPECT_EQ(narrow(p->set_option(L"helo_name", L"client.example")), "client.example");
    // A refused value leaves the setting as it was.
    EXPECT_EQ(narrow(p->set_option(L"tls", L"sometimes")), "starttls");
    EXPECT_EQ(narrow(p->set_option(L"colour", L"blue")), "");
}

TEST(Status, APartlyRefusedSendListsTheRefusedRecipient) {
    host_env::ScratchDir dir;
    smtptest::CaptureOptions o;
    o.username = "alice";
    o.password = "Pa55 w0rd";
    o.rejectRecipients = {"nobody@example.com", "ghost@example.com"};
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    compose(p, server.port(),
            {L"bob@example.com", L"nobody@example.com", L"carol@example.com", L"ghost@example.com"},
            L"alice", L"Pa55 w0rd");
    EXPECT_TRUE(p->send());
    EXPECT_EQ(narrow(p->get_last_error()), "");
    EXPECT_EQ(option(p, L"refused_recipients"), "nobody@example.com,ghost@example.com");
    EXPECT_EQ(option(p, L"auth_used"), "LOGIN");
    EXPECT_EQ(option(p, L"tls_session"), "");
    EXPECT_EQ(option(p, L"last_reply").substr(0, 4), "250 ");
    const std::string lastError = option(p, L"last_error");
    EXPECT_EQ(lastError.rfind("550 5.1.1 <nobody@example.com>: Recipient address rejected", 0), 0u)
        << lastError;
    EXPECT_NE(lastError.find("Hint: The server does not know this recipient"), std::string::npos);
    const std::string log = option(p, L"log");
    EXPECT_NE(log.find("<NumRejected>2</NumRejected>"), std::string::npos) << log;
    EXPECT_EQ(log.find("Pa55 w0rd"), std::string::npos);
    // A success writes no error file.
    EXPECT_FALSE(fs::exists(dir.file("smtp_errors.xml")));
    // The next send starts afresh.
    compose(p, server.port(), {L"bob@example.com"}, L"alice", L"Pa55 w0rd");
    EXPECT_TRUE(p->send());
    EXPECT_EQ(option(p, L"refused_recipients"), "");
    EXPECT_EQ(option(p, L"last_error"), "");
}

#ifndef _WIN32
TEST(Status, TheTlsSessionIsNamed) {
    host_env::ScratchDir dir;
    smtptest::CaptureOptions o;
    o.tls = smtptest::CaptureOptions::Tls::StartTls;
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    dir.write("ca.pem", smtptest::throwawayCertificatePem());
    host_env::Plugin p = host_env::create();
    p->set_option(L"tls", L"starttls");
    p->set_option(L"tls_ca_file", wide(host_env::utf8Of(dir.file("ca.pem"))).c_str());
    compose(p, server.port(), {L"bob@example.com"});
    ASSERT_TRUE(p->send()) << option(p, L"last_error");
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(option(p, L"tls_session"), server.messages()[0].tls);
    EXPECT_EQ(option(p, L"tls_session").rfind("TLSv1.", 0), 0u);
}
#endif

TEST(Status, TheErrorFileGoesWhereTheHostSays) {
    host_env::ScratchDir dir;
    const std::string custom = host_env::utf8Of(dir.file("custom errors.xml"));
    host_env::Plugin p = host_env::create();
    EXPECT_EQ(narrow(p->set_option(L"error_file", wide(custom).c_str())), custom);
    compose(p, static_cast<uint16_t>(host_env::closedLoopbackPort()), {L"bob@example.com"});
    EXPECT_FALSE(p->send());
    EXPECT_FALSE(fs::exists(dir.file("smtp_errors.xml")));
    const std::string written = dir.read("custom errors.xml");
    EXPECT_NE(written.find("<SendEmail>"), std::string::npos);
    EXPECT_EQ(written, option(p, L"log"));
    // Empty: no file at all; the log is still there to read.
    fs::remove(dir.file("custom errors.xml"));
    EXPECT_EQ(narrow(p->set_option(L"error_file", L"")), "");
    compose(p, static_cast<uint16_t>(host_env::closedLoopbackPort()), {L"bob@example.com"});
    EXPECT_FALSE(p->send());
    EXPECT_FALSE(fs::exists(dir.file("custom errors.xml")));
    EXPECT_FALSE(fs::exists(dir.file("smtp_errors.xml")));
    EXPECT_NE(option(p, L"log").find("Failed to connect to SMTP server."), std::string::npos);
    EXPECT_NE(option(p, L"last_error").find("Hint: The host refused the connection on port"),
              std::string::npos);
    // A name that cannot be looked up.
    p->set_option(L"error_file", L"smtp_errors.xml");
    p->set_server(L"no-such-host.invalid", L"587", L"", L"");
    p->set_from(L"alice@example.com");
    p->add_to(L"bob@example.com");
    EXPECT_FALSE(p->send());
    EXPECT_NE(option(p, L"last_error").find("Hint: The server's name could not be looked up"),
              std::string::npos)
        << option(p, L"last_error");
}

TEST(Status, SettingsThatAreNotValidFailTheSendBeforeItConnects) {
    host_env::ScratchDir dir;
    smtptest::CaptureServer server;
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    p->set_option(L"tls", L"startls");
    p->set_option(L"tsl", L"starttls");
    compose(p, server.port(), {L"bob@example.com"});
    EXPECT_FALSE(p->send());
    EXPECT_EQ(narrow(p->get_last_error()), "ERROR_INVALID_ARG");
    EXPECT_EQ(option(p, L"last_error"),
              "Option tls=startls is not valid (auto, starttls, implicit, off)");
    EXPECT_NE(option(p, L"log").find("<error>Option tsl is not known</error>"), std::string::npos);
    EXPECT_EQ(server.connections(), 0);
    EXPECT_NE(dir.read("smtp_errors.xml").find("Option tsl is not known"), std::string::npos);
    // The login check fails the same way.
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(server.connections(), 0);
    // Fixing the value clears that problem, but the unknown name stays
    // until the settings go (close).
    p->set_option(L"tls", L"off");
    compose(p, server.port(), {L"bob@example.com"});
    EXPECT_FALSE(p->send());
    EXPECT_EQ(option(p, L"last_error"), "Option tsl is not known");
    p->close();
    compose(p, server.port(), {L"bob@example.com"});
    EXPECT_TRUE(p->send()) << option(p, L"last_error");
    EXPECT_EQ(server.connections(), 1);
}

// A server that lists no AUTH mechanism: the check reaches the server, but
// no login was made, and the log says so.
TEST(Status, TheLoginCheckSaysWhenNoLoginWasMade) {
    host_env::ScratchDir dir;
    smtptest::CaptureServer server;  // no user: AUTH is not offered
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    compose(p, server.port(), {}, L"alice", L"Pa55 w0rd");
    EXPECT_TRUE(p->connect());
    EXPECT_EQ(narrow(p->get_last_error()), "");
    EXPECT_EQ(option(p, L"auth_used"), "none");
    EXPECT_EQ(option(p, L"last_error"),
              "No login was made: the server lists no AUTH mechanism on this connection. Hint: The "
              "server lists no AUTH mechanism on this connection, so the login and password were "
              "not used: check the server and port (submission is usually 587 or 465).");
    EXPECT_EQ(narrow(p->set_option(L"verify_login", L"Strict")), "strict");
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(narrow(p->get_last_error()), "");  // connect sets no code
    EXPECT_NE(option(p, L"log").find("<error>Failed (verify_login=strict).</error>"),
              std::string::npos);
    // A server that logs the user in.
    smtptest::CaptureOptions o;
    o.username = "alice";
    o.password = "Pa55 w0rd";
    o.offerLogin = false;
    smtptest::CaptureServer withAuth(o);
    ASSERT_TRUE(withAuth.start());
    compose(p, withAuth.port(), {}, L"alice", L"Pa55 w0rd");
    EXPECT_TRUE(p->connect()) << option(p, L"last_error");
    EXPECT_EQ(option(p, L"auth_used"), "CRAM-MD5");
    EXPECT_EQ(option(p, L"last_error"), "");
    // A wrong password: the refusal and its hint.
    compose(p, withAuth.port(), {}, L"alice", L"wrong");
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(option(p, L"auth_used"), "none");
    EXPECT_NE(option(p, L"last_error").find("Hint: The server refused the login"),
              std::string::npos)
        << option(p, L"last_error");
}

#ifndef _WIN32
// AUTH only after STARTTLS, and the host turned TLS off: the hint says why.
TEST(Status, TheLoginCheckNamesStartTlsWhenAuthComesOnlyAfterIt) {
    host_env::ScratchDir dir;
    smtptest::CaptureOptions o;
    o.username = "alice";
    o.password = "Pa55 w0rd";
    o.tls = smtptest::CaptureOptions::Tls::StartTls;
    o.requireTlsForAuth = true;
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    p->set_option(L"tls", L"off");
    p->set_option(L"verify_login", L"strict");
    compose(p, server.port(), {}, L"alice", L"Pa55 w0rd");
    EXPECT_FALSE(p->connect());
    EXPECT_NE(option(p, L"last_error").find("Hint: The server offers AUTH only after STARTTLS"),
              std::string::npos)
        << option(p, L"last_error");
}
#endif

// A server that declares SIZE (RFC 1870) learns the message's size from
// MAIL FROM, and one over its limit is never offered: the connection then
// takes the next message.
TEST(Size, MailFromCarriesTheSizeAndALargeMessageIsRefusedBeforeIt) {
    host_env::ScratchDir dir;
    smtptest::CaptureOptions o;
    o.maxMessageBytes = 3000;
    smtptest::CaptureServer server(o);
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    compose(p, server.port(), {L"bob@example.com"});
    p->set_body(std::wstring(4000, L'x').c_str());
    EXPECT_FALSE(p->send());
    EXPECT_EQ(narrow(p->get_last_error()), "ERROR_SEND_FAILED");
    const std::string lastError = option(p, L"last_error");
    EXPECT_EQ(lastError.rfind("Message too large for this server: ", 0), 0u) << lastError;
    EXPECT_NE(lastError.find(" bytes, it accepts at most 3000 (SIZE)"), std::string::npos)
        << lastError;
    EXPECT_EQ(server.transcript().find("MAIL FROM"), std::string::npos) << server.transcript();

    compose(p, server.port(), {L"bob@example.com"});
    p->set_body(L"Line one\r\n.leading dot\r\n");
    ASSERT_TRUE(p->send()) << option(p, L"last_error");
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(server.connections(), 1);
    // The size is that of the text the server received, its last line
    // break included (no dot-stuffing here: the body is quoted-printable).
    const std::string data = server.messages()[0].data;
    const std::string want = "MAIL FROM:<alice@example.com> SIZE=" + std::to_string(data.size());
    EXPECT_NE(server.transcript().find(want), std::string::npos) << want << "\n"
                                                                 << server.transcript();
}

}  // namespace
