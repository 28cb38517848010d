// SMTP conversations as data: each tests/data/smtp/*.scenario file scripts
// the fault server and says what the client is given, what it does and
// what must come out (format in tests/data/smtp/README.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mail/ms_sspi.h"
#include "mail/smtp_conn_impl.h"
#include "mime/email2.h"
#include "net/brenvik_socket.h"
#include "ntlm_test_support.h"
#include "platform/clock.h"
#include "platform/code_pages.h"
#include "platform/identity.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace testsupport;
using smtptest::base64Encode;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// "\{N:TEXT}" stands for N copies of TEXT, so that long lines stay short in the files.
std::string expand(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        size_t colon = s.find(':', i), close = s.find('}', colon == npos ? i : colon);
        if (s.compare(i, 2, "\\{") != 0 || colon == npos || close == npos) {
            out += s[i];
            continue;
        }
        for (int n = std::stoi(s.substr(i + 2, colon - i - 2)); n > 0; --n)
            out += s.substr(colon + 1, close - colon - 1);
        i = close;
    }
    return out;
}

// The data files' escapes (support/data_file.h), except that "\P" is left
// for the server's port, known only once it listens.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t from = 0;;) {
        const size_t port = s.find("\\P", from);
        out += testsupport::unescape(s.substr(from, port - from));
        if (port == npos) return out;
        out += "\\P";
        from = port + 2;
    }
}

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
    std::stringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str();
    // "\L" is the name EHLO announces.
    LogNull quiet;
    StringBuffer local;
    BrenvikSocket::getLocalHostname(local, quiet);
    replaceAll(text, "\\L", local.isEmpty() ? "localhost" : local.getString());
    std::istringstream lines(expand(text));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("#! ", 0) == 0) {
            std::string rest = line.substr(3);
            size_t colon = rest.find(':');
            if (colon == npos) return false;
            std::string value = rest.substr(colon + 1);
            if (!value.empty() && value[0] == ' ') value.erase(0, 1);
            out.directives.push_back({rest.substr(0, colon), unescape(value)});
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

Email2* scenarioEmail(const Scenario& sc) {
    Email2* email = Email2::createNewEmail();
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
    return email;
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
    }
    ~Environment() {
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

class TransactionScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(TransactionScenario, Runs) {
    Scenario sc;
    ASSERT_TRUE(loadScenario(GetParam(), sc)) << GetParam();
#ifdef _WIN32
    if (sc.one("platform", "any") == "posix") GTEST_SKIP() << "POSIX only";
#else
    if (sc.one("platform", "any") == "windows") GTEST_SKIP() << "Windows only";
#endif
    FaultScript script;
    std::string bad;
    ASSERT_TRUE(FaultScript::parse(sc.script, script, bad)) << "not understood: " << bad;
    FaultServer server(script, 5000);
    ASSERT_TRUE(server.start());
    for (auto& d : sc.directives) replaceAll(d.second, "\\P", std::to_string(server.port()));
    Environment environment(sc);

    // Session files list their steps; a transaction file connects and sends.
    std::vector<std::string> steps = sc.all("step");
    const bool explicitSteps = !steps.empty();
    if (!explicitSteps) steps = {"connect 127.0.0.1 true", "send"};

    Logger log;
    int accepted = -9, total = -9, code = -9, lastCode = -9;
    bool timedOut = false, result = false, wasReset = false, connected = false;
    uint32_t took = 0;
    std::string reply, transcript;
    const std::string userText = sc.one("user", ""), passwordText = sc.one("password", "");
    {
        SmtpConnImpl smtp;
        XString user = xs(userText), password = xs(passwordText);
        const int readMs = std::stoi(sc.one("read-timeout", "3000"));
        for (const std::string& step : steps) {
            SCOPED_TRACE(step);
            std::istringstream words(step);
            std::string verb, expect;
            words >> verb;
            // Each step of a session is judged by its own log.
            if (explicitSteps) log.ClearLog();
            const uint32_t start = platform::tickCount();
            bool ok = true;
            if (verb == "connect") {
                std::string host;
                words >> host >> expect;
                ok = smtp.smtpConnect(host.c_str(), server.port(), user, password, 5, readMs, log,
                                      timedOut);
                if (!explicitSteps) {
                    ASSERT_TRUE(ok) << xml(log);
                }
            } else if (verb == "send") {
                words >> expect;
                std::unique_ptr<Email2> email(scenarioEmail(sc));
                std::string from = sc.one("from", "a@example.com");
                StringBuffer reversePath;
                reversePath.setString(from.data(), static_cast<uint32_t>(from.size()));
                ok = result =
                    smtp.sendEmail(email.get(), reversePath, log, accepted, total, timedOut);
            } else if (verb == "command") {
                int wanted = 0;
                std::string text, argument = sc.one("argument", "");
                words >> wanted >> expect;
                std::getline(words >> std::ws, text, '\0');
                bool sent = false;
                StringBuffer out;
                ok = smtp.sendCommand(text.c_str(), argument.empty() ? nullptr : argument.c_str(),
                                      wanted, sent, code, out, false, log, timedOut);
                reply = str(out);
            } else if (verb == "quit") {
                smtp.quit(log);
            } else if (verb == "reset") {
                smtp.resetConnection();
            } else {
                FAIL() << "unknown step " << step;
            }
            took = platform::tickCount() - start;
            if (!expect.empty()) {
                EXPECT_EQ(ok ? "true" : "false", expect) << xml(log);
            }
        }
        wasReset = smtp.connectedHost().isEmpty();
        connected = smtp.isConnected();
        transcript = str(smtp.transcript());
        lastCode = smtp.lastResponseCode();
        for (const std::string& listed : sc.all("auth")) {
            const std::pair<const char*, bool> mechanisms[] = {
                {"LOGIN", smtp.authLogin()},
                {"PLAIN", smtp.authPlain()},
                {"CRAM-MD5", smtp.authCramMd5()},
                {"NTLM", smtp.authNtlm()},
                {"MSN", smtp.authMsn()},
                {"DIGEST-MD5", smtp.authDigestMd5()},
                {"GSSAPI", smtp.authGssapi()},
                {"KERBEROS_V4", smtp.authKerberosV4()},
                {"ANONYMOUS", smtp.authAnonymous()}};
            for (const auto& [name, on] : mechanisms)
                EXPECT_EQ(on, (" " + listed + " ").find(" " + std::string(name) + " ") != npos)
                    << name;
        }
    }
    if (sc.one("server", "finishes") == "finishes") {
        EXPECT_TRUE(server.finish()) << server.failure() << "\n" << xml(log);
    }

    const std::string shown = xml(log);
    if (!explicitSteps) {
        EXPECT_EQ(result ? "true" : "false", sc.one("result", "true")) << shown;
    }
    const std::pair<const char*, int> numbers[] = {{"accepted", accepted},  {"total", total},
                                                   {"code", code},          {"last-code", lastCode},
                                                   {"timed-out", timedOut}, {"reset", wasReset},
                                                   {"connected", connected}};
    for (const auto& [key, value] : numbers)
        for (const std::string& n : sc.all(key))
            EXPECT_EQ(value, n == "yes" ? 1 : n == "no" ? 0 : std::stoi(n)) << key << "\n" << shown;
    for (const std::string& n : sc.all("took-at-least")) EXPECT_GE(took, std::stoul(n));
    for (const std::string& n : sc.all("took-less-than")) EXPECT_LT(took, std::stoul(n));
    for (const std::string& r : sc.all("reply")) EXPECT_EQ(reply, r);
    for (const std::string& t : sc.all("error"))
        EXPECT_TRUE(hasError(log, t)) << t << "\n" << shown;
    // A send every recipient took logs no error at all, unless the file says which.
    if (!explicitSteps && result && accepted == total && sc.all("error").empty()) {
        for (const Entry& e : entries(log)) EXPECT_NE(e.kind, 'E') << e.text << "\n" << shown;
    }
    for (const std::string& t : sc.all("no-error"))
        EXPECT_FALSE(hasError(log, t)) << t << "\n" << shown;
    for (const std::string& t : sc.all("info")) EXPECT_TRUE(hasInfo(log, t)) << t << "\n" << shown;
    for (const std::string& t : sc.all("no-info"))
        EXPECT_FALSE(hasInfo(log, t)) << t << "\n" << shown;
    for (const std::string& n : sc.all("no-data")) EXPECT_EQ(data(log, n), "<none>") << n;
    for (const std::string& t : sc.all("transcript")) EXPECT_NE(transcript.find(t), npos) << t;
    for (const std::string& t : sc.all("no-transcript")) EXPECT_EQ(transcript.find(t), npos) << t;
    const std::vector<std::string> wire = server.received();
    for (const std::string& t : sc.all("wire")) EXPECT_TRUE(contains(wire, t)) << "not sent: " << t;
    for (const std::string& t : sc.all("no-wire")) EXPECT_FALSE(contains(wire, t)) << "sent: " << t;
    // Whatever happened, no smuggled command reached the server.
    for (const std::string& w : wire) EXPECT_NE(w.rfind("RCPT TO:<spy", 0), 0u) << w;
    for (const auto& d : sc.directives) {
        if (d.first.rfind("data ", 0) == 0) {
            bool found = false;
            for (const Entry& e : entries(log))
                found = found || (e.kind == 'T' && e.name == d.first.substr(5) &&
                                  (d.second.empty() || e.text == d.second));
            EXPECT_TRUE(found) << d.first << " = " << d.second << "\n" << shown;
        } else if (d.first.rfind("type3 ", 0) == 0) {
            // The NTLM TYPE3 the client sent, read from the wire.
            std::string message;
            for (const std::string& w : wire)
                if (w.rfind(ntlmtest::kType3Prefix, 0) == 0) smtptest::base64Decode(w, message);
            ntlmtest::Type3 t = ntlmtest::readType3(message);
            ASSERT_TRUE(t.ok) << "no TYPE3 on the wire";
            EXPECT_EQ(ntlmtest::toHex(t.fields[d.first.substr(6)]), d.second) << d.first;
        }
    }
    // Secrets that went over the wire stay out of the log and the transcript,
    // in plain text and in base64 (the password alone, or in a PLAIN message).
    std::vector<std::string> secrets;
    for (const std::string& prefix : sc.all("secret-wire"))
        for (const std::string& w : wire)
            if (w.rfind(prefix, 0) == 0) secrets.push_back(w);
    if (passwordText.size() > 1 && passwordText != "default")
        secrets.insert(secrets.end(),
                       {passwordText, base64Encode(passwordText),
                        base64Encode(userText + '\0' + userText + '\0' + passwordText)});
    for (const std::string& s : secrets) {
        EXPECT_EQ(shown.find(s), npos) << "logged: " << s;
        EXPECT_EQ(transcript.find(s), npos) << "in the transcript: " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, TransactionScenario, ::testing::ValuesIn(scenarioNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
