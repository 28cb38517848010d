// SMTP conversations as data: each tests/data/smtp/*.scenario file scripts
// the fault server and says what the client is given, what it does and
// what must come out (format in tests/data/smtp/README.txt).
#ifdef _WIN32
#include <winsock2.h>  // before any windows.h: plugin/host_env.h needs both
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fault_matrix.h"
#include "integration/log_xml_check.h"
#include "integration/test_certificates.h"
#include "mail/cls_mail_man.h"
#include "mail/host_options.h"
#include "mail/ms_sspi.h"
#include "mail/smtp_conn_impl.h"
#include "mail/smtp_conn_test_access.h"
#include "mail_test_support.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "net/brenvik_socket.h"
#include "platform/clock.h"
#include "platform/code_pages.h"
#include "platform/identity.h"
#include "plugin/host_env.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "support/hex.h"
#include "support/scratch.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace testsupport;
using smtptest::base64Encode;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

struct Scenario {
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
};

const fs::path kScenarioDir = fs::path(SMTP_TEST_DATA_DIR) / "smtp";

std::vector<std::string> scenarioNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(kScenarioDir, ec))
        if (entry.path().extension() == ".scenario") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> matrixNames() {
    std::vector<std::string> names;
    for (const auto& cell : faultMatrixCells()) names.push_back(cell.first);
    return names;
}

bool loadScenario(const std::string& name, Scenario& out) {
    std::string text;
    if (faultMatrixCells().count(name)) {
        text = faultMatrixCells().at(name);
    } else {
        text = readFile(kScenarioDir / (name + ".scenario"));
        if (text.empty()) return false;
    }
    // "\L" is the name EHLO announces.
    LogNull quiet;
    StringBuffer local;
    BrenvikSocket::getLocalHostname(local, quiet);
    text = replaced(text, "\\L", local.isEmpty() ? "localhost" : local.getString());
    std::istringstream lines(expandRepeats(text));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("#! ", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon == npos) return false;
            const size_t value = colon + (line.compare(colon + 1, 1, " ") == 0 ? 2 : 1);
            out.directives.push_back({line.substr(3, colon - 3), line.substr(value)});
        } else {
            out.script += line + "\n";
        }
    }
    // A transaction file starts at MAIL FROM: the runner greets. A session
    // file scripts the whole conversation itself.
    if (out.one("session", "no") != "yes")
        out.script = "S: 220 fault.test ESMTP\nC: EHLO \nS: 250 fault.test\n" + out.script;
    return true;
}

void fillEmail(const Scenario& sc, Email2* email) {
    email->setFromAddress("a@example.com");
    for (const std::string& a : sc.all("to")) email->addTo("", a.c_str());
    for (const std::string& a : sc.all("cc")) email->addCc("", a.c_str());
    for (const std::string& a : sc.all("bcc")) email->addBcc("", a.c_str());
    for (const std::string& h : sc.all("header")) {
        size_t colon = h.find(": ");
        email->setHeaderField(h.substr(0, colon).c_str(), h.substr(colon + 2).c_str());
    }
    std::string body = sc.one("body", "Hi");
    email->setBody(body.data(), static_cast<uint32_t>(body.size()), false);
    for (const std::string& e : sc.all("encoding")) email->setContentTransferEncoding(e.c_str());
}

// What a scenario changes in the process, for its run only.
struct Environment {
    explicit Environment(const Scenario& sc) {
        const std::string account = sc.one("account", ""), hidden = sc.one("hide-package", "");
        if (!account.empty()) platform::setUserNameForTesting(account.c_str());
        if (!hidden.empty()) MsSspi::hidePackageForTesting(hidden.c_str());
        unsigned ansi = 0, oem = 0;
        std::istringstream(sc.one("code-pages", "0 0")) >> ansi >> oem;
        platform::setCodePagesForTesting(ansi, oem);
        if (sc.one("stream", "no") == "yes") SmtpConnImplTestAccess::setStreamAbove(0);
    }
    ~Environment() {
        SmtpConnImplTestAccess::setStreamAbove(SmtpConnImpl::kStreamAboveBytes);
        platform::setUserNameForTesting(nullptr);
        MsSspi::hidePackageForTesting(nullptr);
        platform::setCodePagesForTesting(0, 0);
    }
};

bool contains(const std::vector<std::string>& all, const std::string& part) {
    for (const std::string& s : all)
        if (s.find(part) != npos) return true;
    return false;
}

// A command step's code as the files write it: -2 for a final line without
// a number, -1 when no reply came.
int scenarioCode(const SmtpReply& reply) {
    if (reply.answered()) return reply.code;
    return reply.flaw == SmtpReply::Flaw::NoCode ? -2 : -1;
}

class TransactionScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(TransactionScenario, Runs) {
    Scenario sc;
    ASSERT_TRUE(loadScenario(GetParam(), sc)) << GetParam();
#ifdef _WIN32
    if (sc.one("platform", "any") == "posix") GTEST_SKIP() << "POSIX only";
#else
    if (sc.one("platform", "any") == "windows") GTEST_SKIP() << "Windows only";
#endif
    // A directive the runner does not know would check nothing.
    const std::string known =
        " session step user password argument from to cc bcc header body encoding read-timeout"
        " account hide-package code-pages platform server result accepted total timed-out code"
        " reply last-code reset connected port context-depth auth took-at-least took-less-than"
        " log no-log transcript no-transcript wire no-wire type3 secret-wire whole-log stream"
        " option server-cert tls-sessions tls-sni listen ";
    for (const auto& d : sc.directives)
        EXPECT_NE(known.find(" " + d.first.substr(0, d.first.find(' ')) + " "), npos) << d.first;
    FaultScript script;
    std::string bad;
    ASSERT_TRUE(FaultScript::parse(sc.script, script, bad)) << "not understood: " << bad;
    FaultServer server(script, 5000);
    // "\C" is the directory of the test certificates (made on first use).
    std::string certDir;
    const bool wantsCertificates =
        !sc.all("server-cert").empty() ||
        std::any_of(sc.directives.begin(), sc.directives.end(),
                    [](const auto& d) { return d.second.find("\\C") != npos; });
    if (wantsCertificates) {
#ifndef _WIN32
        const auto& made = smtp_integration::TestCertificates::get();
        ASSERT_FALSE(made.dir().empty()) << made.why();
        certDir = made.dir();
#else
        FAIL() << "test certificates are made on the POSIX side only";
#endif
    }
    if (sc.one("listen", "127.0.0.1") == "::1") server.listenOnIPv6();
    for (const std::string& name : sc.all("server-cert"))
        server.setTlsFiles(certDir + "/" + name + "-chain.pem", certDir + "/" + name + ".key");
    ASSERT_TRUE(server.start());
    // Steps are split into words first, and their words unescaped then.
    for (auto& d : sc.directives) {
        d.second = replaced(d.second, "\\P", std::to_string(server.port()));
        d.second = replaced(d.second, "\\C", certDir);
        if (d.first != "step") d.second = testsupport::unescape(d.second);
    }
    Environment environment(sc);

    // Session files list their steps; a transaction file connects and sends.
    std::vector<std::string> steps = sc.all("step");
    const bool explicitSteps = !steps.empty();
    if (!explicitSteps) steps = {"connect 127.0.0.1 true", "send"};

    Logger own;
    Logger* judged = &own;  // the manager's steps are judged by the manager's log
    int accepted = -9, total = -9, code = -9, lastCode = -9, port = -9;
    bool timedOut = false, result = false, wasReset = false, connected = false;
    uint32_t took = 0, start = 0;
    std::string reply, transcript, mechanisms;
    const std::string userText = sc.one("user", ""), passwordText = sc.one("password", "");
    auto manager = std::make_unique<ClsMailMan>();
    {
        SmtpConnImpl smtp;
        // Host options, as set_option gives them: to the manager and, as the
        // manager would pass them on, to the connection of connect steps.
        HostOptions options;
        const auto setOption = [&](const std::string& assignment) {
            const size_t eq = assignment.find('=');
            const std::string name = assignment.substr(0, eq),
                              value = eq == npos ? "" : assignment.substr(eq + 1);
            options.set(name, value);
            manager->setOption(name, value);
            smtp.setSessionOptions(options.session());
        };
        for (const std::string& o : sc.all("option")) setOption(o);
        ClsEmail message;  // what the manager sends
        bool created = false;
        fillEmail(sc, message.getEmailTree(created));
        // A send gives the message it sends a Message-ID of its own.
        StringBuffer callersId;
        message.getEmailTree(created)->getHeaderField("Message-ID", callersId);
        const int readMs = std::stoi(sc.one("read-timeout", "3000"));
        manager->setTimeoutsForTesting(5, readMs);
        // Each step of a session is judged by its own log, unless the file
        // asks for the whole session's (and its whole duration).
        const bool whole = sc.one("whole-log", "no") == "yes";
        start = platform::tickCount();
        for (const std::string& step : steps) {
            SCOPED_TRACE(step);
            std::istringstream words(step);
            std::string verb, expect;
            words >> verb;
            if (explicitSteps && !whole) own.ClearLog();
            if (!whole) start = platform::tickCount();
            bool ok = true;
            if (verb == "connect" || verb == "manager-send" || verb == "manager-verify") {
                std::string host, u, p;
                words >> host >> expect >> u >> p;
                host = testsupport::unescape(host);
                // "HOST:closed" is a port nobody listens on.
                const bool closed = host.size() > 7 && host.substr(host.size() - 7) == ":closed";
                if (closed) host.resize(host.size() - 7);
                // Credentials on the step stand for the file's, for this connect.
                XString user = xs(u.empty() ? userText : testsupport::unescape(u)),
                        password = xs(u.empty() ? passwordText : testsupport::unescape(p));
                const int to = closed ? host_env::closedLoopbackPort() : server.port();
                if (verb == "connect") {
                    ok = smtp.smtpConnect(host.c_str(), to, user, password, std::chrono::seconds(5),
                                          std::chrono::milliseconds(readMs), own, timedOut);
                    if (!explicitSteps) {
                        ASSERT_TRUE(ok) << xml(own);
                    }
                } else {
                    XString h = xs(host);
                    manager->put_SmtpHost(h);
                    manager->put_SmtpPort(to);
                    manager->put_SmtpUsername(user);
                    manager->put_SmtpPassword(password);
                    judged = &manager->log();
                    ok = result = verb == "manager-send" ? manager->SendEmail(message)
                                                         : manager->VerifySmtpLogin();
                }
            } else if (verb == "send") {
                words >> expect;
                std::unique_ptr<Email2> email(Email2::createNewEmail());
                fillEmail(sc, email.get());
                std::string from = sc.one("from", "a@example.com");
                StringBuffer reversePath;
                reversePath.setString(from.data(), static_cast<uint32_t>(from.size()));
                ok = result =
                    smtp.sendEmail(email.get(), reversePath, own, accepted, total, timedOut);
            } else if (verb == "command") {
                int wanted = 0;
                std::string text, argument = sc.one("argument", "");
                words >> wanted >> expect;
                std::getline(words >> std::ws, text, '\0');
                text = testsupport::unescape(text);
                const SmtpReply answer = SmtpConnImplTestAccess::command(
                    smtp, text.c_str(), argument.empty() ? nullptr : argument.c_str(), wanted, own);
                ok = answer.is(wanted);
                code = scenarioCode(answer);
                if (answer.transport != SmtpReply::Transport::NotSent) timedOut = answer.timedOut();
                const bool ended = answer.answered() || answer.flaw == SmtpReply::Flaw::NoCode;
                reply = ended ? str(answer.lastTrimmed()) : "";
            } else if (verb == "option") {
                std::string assignment;
                words >> assignment;
                setOption(testsupport::unescape(assignment));
            } else if (verb == "quit") {
                SmtpConnImplTestAccess::quit(smtp, own);
            } else if (verb == "reset") {
                SmtpConnImplTestAccess::reset(smtp);
            } else {
                FAIL() << "unknown step " << step;
            }
            took = platform::tickCount() - start;
            if (!expect.empty()) {
                EXPECT_EQ(ok ? "true" : "false", expect) << xml(*judged);
            }
        }
        const SmtpConnImpl& state = judged == &own ? smtp : manager->smtpConnection();
        port = SmtpConnImplTestAccess::connectedPort(state);
        wasReset = SmtpConnImplTestAccess::connectedHost(state).isEmpty();
        connected = SmtpConnImplTestAccess::isConnected(state);
        transcript = str(SmtpConnImplTestAccess::transcript(state));
        lastCode = SmtpConnImplTestAccess::lastResponseCode(state);
        // The mechanisms on, named in this order.
        const char* const names[] = {"LOGIN",      "PLAIN",  "CRAM-MD5",    "NTLM",     "MSN",
                                     "DIGEST-MD5", "GSSAPI", "KERBEROS_V4", "ANONYMOUS"};
        for (int i = 0; i < 9; ++i)
            if (state.capabilities().has(static_cast<SmtpCapabilities::Mechanism>(1u << i)))
                mechanisms += (mechanisms.empty() ? "" : " ") + std::string(names[i]);
        // The manager sends a copy: the caller's message stays as it was.
        EXPECT_FALSE(message.isSending());
        EXPECT_EQ(message.numTo(), static_cast<int>(sc.all("to").size()));
        StringBuffer id;
        message.getEmailTree(created)->getHeaderField("Message-ID", id);
        EXPECT_EQ(str(id), str(callersId)) << "the caller's Message-ID changed";
        for (const std::string& h : sc.all("header")) {
            StringBuffer value;
            message.getEmailTree(created)->getHeaderField(h.substr(0, h.find(": ")).c_str(), value);
            EXPECT_EQ(str(value), h.substr(h.find(": ") + 2)) << "caller's " << h;
        }
    }
    // The log is read while the manager, whose log it may be, is still there.
    Logger& log = *judged;
    const std::string shown = xml(log);
    if (!explicitSteps) {
        EXPECT_EQ(result ? "true" : "false", sc.one("result", "true")) << shown;
    }
    const int depth = static_cast<int>(log.contextDepth());
    const std::pair<const char*, int> numbers[] = {
        {"accepted", accepted},   {"total", total},        {"code", code},
        {"last-code", lastCode},  {"timed-out", timedOut}, {"reset", wasReset},
        {"connected", connected}, {"port", port},          {"context-depth", depth}};
    for (const auto& [key, value] : numbers)
        for (const std::string& n : sc.all(key))
            EXPECT_EQ(value, n == "yes" ? 1 : n == "no" ? 0 : std::stoi(n)) << key << "\n" << shown;
    for (const std::string& n : sc.all("took-at-least")) EXPECT_GE(took, std::stoul(n));
    for (const std::string& n : sc.all("took-less-than")) EXPECT_LT(took, std::stoul(n));
    for (const std::string& r : sc.all("reply")) EXPECT_EQ(reply, r);
    for (const std::string& listed : sc.all("auth")) EXPECT_EQ(mechanisms, listed);
    for (const std::string& t : sc.all("log"))
        EXPECT_TRUE(ntlmtest::logShows(log, t)) << t << "\n" << shown;
    for (const std::string& t : sc.all("no-log"))
        EXPECT_FALSE(ntlmtest::logShows(log, t)) << t << "\n" << shown;
    // A send every recipient took logs no error at all, unless the file says which.
    const std::vector<std::string> checks = sc.all("log");
    const bool errorsListed =
        std::any_of(checks.begin(), checks.end(), [](const std::string& c) { return c[0] == 'E'; });
    if (!explicitSteps && result && accepted == total && !errorsListed) {
        for (const Entry& e : entries(log)) EXPECT_NE(e.kind, 'E') << e.text << "\n" << shown;
    }
    for (const std::string& t : sc.all("transcript")) EXPECT_NE(transcript.find(t), npos) << t;
    for (const std::string& t : sc.all("no-transcript")) EXPECT_EQ(transcript.find(t), npos) << t;
    // The log as the plug-in saves it after a failed send (smtp_errors.xml)
    // is well-formed, as Python's parser reads it where Python runs beside
    // the tests.
    std::string saved;
    {
        const ScratchDir dir;
        const std::string file = dir.name("smtp_errors.xml");
        EXPECT_TRUE(log.SaveLastError(0, file.c_str()));
        saved = readFile(file);
#ifndef _WIN32
        std::vector<log_xml::Element> elements;
        std::string report;
        if (log_xml::pythonPresent()) {
            EXPECT_TRUE(
                log_xml::read(SMTP_INTEGRATION_DIR "/check_log_xml.py", file, elements, report))
                << report;
        }
#endif
    }
    // The manager's connection ends (with QUIT) before the script can.
    manager.reset();
    if (sc.one("server", "finishes") == "finishes") {
        EXPECT_TRUE(server.finish()) << server.failure() << "\n" << shown;
    }
    for (const std::string& n : sc.all("tls-sessions")) {
        EXPECT_EQ(server.tlsSessions().size(), std::stoul(n)) << "TLS sessions";
    }
    // The name the client sent as SNI in each handshake, "-" for none.
    std::vector<std::string> names;
    for (const std::string& n : server.tlsServerNames()) names.push_back(n.empty() ? "-" : n);
    for (const std::string& n : sc.all("tls-sni")) {
        EXPECT_EQ(testing::PrintToString(names), n) << "SNI of each handshake";
    }
    const std::vector<std::string> wire = server.received();
    for (const std::string& t : sc.all("wire")) EXPECT_TRUE(contains(wire, t)) << "not sent: " << t;
    for (const std::string& t : sc.all("no-wire")) EXPECT_FALSE(contains(wire, t)) << "sent: " << t;
    // Whatever happened, no smuggled command reached the server, and every
    // message it read has a Message-ID of its own.
    std::set<std::string> ids;
    for (const std::string& w : wire) {
        EXPECT_NE(w.rfind("RCPT TO:<spy", 0), 0u) << w;
        const size_t id = ("\r\n" + w).find("\r\nMessage-ID: ");
        if (id != npos) {
            EXPECT_TRUE(ids.insert(w.substr(id, w.find('\r', id) - id)).second) << w;
        }
    }
    for (const auto& [key, value] : sc.directives) {
        if (key.rfind("type3 ", 0) != 0) continue;
        // The NTLM TYPE3 the client sent, read from the wire.
        std::string message;
        for (const std::string& w : wire)
            if (w.rfind(ntlmtest::kType3Prefix, 0) == 0) smtptest::base64Decode(w, message);
        ntlmtest::Type3 t = ntlmtest::readType3(message);
        ASSERT_TRUE(t.ok) << "no TYPE3 on the wire";
        EXPECT_EQ(toHex(t.fields[key.substr(6)]), value) << key;
    }
    // Secrets that went over the wire stay out of the log, the transcript and
    // the saved file, in plain text and in base64 (the password alone, or in
    // a PLAIN message).
    std::vector<std::string> secrets;
    for (const std::string& prefix : sc.all("secret-wire"))
        for (const std::string& w : wire)
            if (w.rfind(prefix, 0) == 0) secrets.push_back(w);
    // An NTLM TYPE3 on the wire: the message and its responses, raw or
    // base64, in hex of either case.
    for (const std::string& w : wire) {
        std::string message;
        if (w.rfind(ntlmtest::kType3Prefix, 0) != 0 || !smtptest::base64Decode(w, message))
            continue;
        secrets.push_back(w);
        for (const char* field : {"nt", "lm"}) {
            const std::string data = ntlmtest::readType3(message).fields[field];
            if (data.size() < 8) continue;
            std::string hex = toHex(data), upperHex = hex;
            for (char& c : upperHex) c = static_cast<char>(std::toupper(c));
            secrets.insert(secrets.end(), {data, hex, upperHex, base64Encode(data)});
        }
    }
    if (passwordText.size() > 1 && passwordText != "default")
        secrets.insert(secrets.end(),
                       {passwordText, base64Encode(passwordText),
                        base64Encode(userText + '\0' + userText + '\0' + passwordText)});
    for (const std::string& s : secrets) {
        EXPECT_EQ(shown.find(s), npos) << "logged: " << s;
        EXPECT_EQ(transcript.find(s), npos) << "in the transcript: " << s;
        EXPECT_EQ(saved.find(s), npos) << "in smtp_errors.xml: " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, TransactionScenario, ::testing::ValuesIn(scenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });
INSTANTIATE_TEST_SUITE_P(FaultMatrix, TransactionScenario, ::testing::ValuesIn(matrixNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
