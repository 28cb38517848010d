// The plug-in as a host drives it, step by step as the case files of
// tests/data/plugin/ say: calls.txt, deliveries.txt (real servers, read back
// by Python's e-mail parser) and smtp_send.txt; their headers explain the steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "case_file.h"
#include "host_env.h"
#include "integration/aiosmtpd_process.h"
#include "integration/postfix_process.h"
#include "tools/smtp_server/smtp_test_server.h"

namespace {

namespace fs = std::filesystem;
using case_file::bytes;
using case_file::Line;
using Args = std::vector<const wchar_t*>;

std::string text(bool v) {
    return v ? "true" : "false";
}
template <class C>
std::string text(const C* s) {  // quoted, or null
    std::string out = "\"";
    for (const C* c = s; s && *c; ++c) out += static_cast<char>(*c);
    return s ? out + '"' : "null";
}
void* raw(const wchar_t* a) {
    return const_cast<wchar_t*>(a);
}

// Each slot by name, and its answer as text ("" for none).
using Slot = std::function<std::string(email_interface*, const Args&)>;
#define SLOT(name, call)                                                                        \
    std::make_pair(#name,                                                                       \
                   Slot([](email_interface* m, [[maybe_unused]] const Args& a) -> std::string { \
                       return call;                                                             \
                   }))
const std::map<std::string, Slot> kSlots = {
    SLOT(get_class_name, text(static_cast<PDL::DynamicClass*>(m)->get_class_name())),
    SLOT(open, (m->open(), "")),
    SLOT(shutdown, (m->shutdown(), "")),
    SLOT(close, (m->close(), "")),
    SLOT(get_option, text(m->get_option(a[0]))),
    SLOT(set_option, text(m->set_option(a[0], a[1]))),
    SLOT(reserved_a, text(m->reserved_a(raw(a[0]), raw(a[1]), raw(a[2])))),
    SLOT(set_server, text(m->set_server(a[0], a[1], a[2], a[3]))),
    SLOT(reserved_b, text(m->reserved_b(raw(a[0]), raw(a[1]), raw(a[2]), raw(a[3])))),
    SLOT(disconnect, (m->disconnect(), "")),
    SLOT(connect, text(m->connect())),
    SLOT(new_message, text(m->new_message())),
    SLOT(send, text(m->send())),
    SLOT(set_from, text(m->set_from(a[0]))),
    SLOT(add_to, text(m->add_to(a[0]))),
    SLOT(add_cc, text(m->add_cc(a[0]))),
    SLOT(add_bcc, text(m->add_bcc(a[0]))),
    SLOT(set_subject, text(m->set_subject(a[0]))),
    SLOT(set_body, text(m->set_body(a[0]))),
    SLOT(set_html_body, text(m->set_html_body(a[0]))),
    SLOT(add_attachment, text(m->add_attachment(a[0]))),
};

#ifdef SMTP_SEND_PATH
#if defined(_WIN32)
// Runs smtp-send with the arguments (UTF-8) in the current directory; the
// exit status, or -1, and stdout and stderr together go to output.
int runTool(const std::vector<std::string>& args, const fs::path& input, std::string& output) {
    const std::wstring exe = host_env::builtFile(SMTP_SEND_PATH).wstring();
    std::wstring line = L"\"" + exe + L"\"";
    for (const std::string& a : args) {
        // Broken UTF-8 becomes U+FFFD here, as in a real command line; UTF-16
        // never needs more units than UTF-8 has bytes.
        std::wstring arg(a.size(), L'\0');
        arg.resize(MultiByteToWideChar(CP_UTF8, 0, a.data(), static_cast<int>(a.size()), arg.data(),
                                       static_cast<int>(arg.size())));
        // Quoted so that CommandLineToArgvW gives it back unchanged: backslashes
        // before a quote are doubled, and the quote escaped.
        line += L" \"";
        size_t backslashes = 0;
        for (wchar_t c : arg) {
            if (c == L'"') line.append(backslashes + 1, L'\\');
            backslashes = c == L'\\' ? backslashes + 1 : 0;
            line += c;
        }
        line.append(backslashes, L'\\') += L'"';  // they precede the closing quote
    }
    // Both streams go to one file the child inherits, in the order written;
    // a new file for every run, since Wine may not have closed the last
    // child's handle to the previous one yet.
    static int runs = 0;
    const std::wstring outName = L"smtp-send-" + std::to_wstring(++runs) + L".out";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileW(outName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        output = "cannot create the output file, error " + std::to_string(GetLastError());
        return -1;
    }
    // Standard input: the named file, or none.
    HANDLE in = input.empty() ? nullptr
                              : CreateFileW(input.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            &inherit, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) in = nullptr;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    const DWORD error = GetLastError();
    CloseHandle(out);
    if (in) CloseHandle(in);
    if (!started) {
        output = "CreateProcessW failed with error " + std::to_string(error);
        return -1;
    }
    DWORD code = 0;
    WaitForSingleObject(pi.hProcess, INFINITE);
    const bool exited = GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    output = testsupport::readFile(outName);
    return exited ? static_cast<int>(code) : -1;
}
#else
int runTool(const std::vector<std::string>& args, const fs::path& input, std::string& output) {
    std::vector<std::string> command = {host_env::builtFile(SMTP_SEND_PATH).string()};
    // Standard input from a file: a shell in between redirects it.
    if (!input.empty())
        command.insert(command.begin(),
                       {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" <\"$f\"", "sh", input.string()});
    command.insert(command.end(), args.begin(), args.end());
    return smtp_integration::runCommand(command, output);
}
#endif
#endif

class Host {
  public:
    void step(Line w) {
        // {port} is the server's port, {closed} a loopback port where nothing
        // listens, {dir} the scratch directory, {errors} its error file and
        // {version} the module's version.
        std::string dir = host_env::utf8Of(m_dir.path);
        std::string errors = host_env::utf8Of(fs::canonical(m_dir.path) / "smtp_errors.xml");
        for (std::string* path : {&dir, &errors})  // the words' notation reads '\' as an escape
            for (size_t at = 0; (at = path->find('\\', at)) != std::string::npos; at += 2)
                path->insert(at, 1, '\\');
        // Postfix with TLS adds {port:NAME} for its TLS ports and {certs}, the
        // directory of its CA (ca.pem).
        std::string version;  // the module's, ASCII
        for (const wchar_t* c = m_plugin->get_option(L"version"); *c; ++c)
            version += static_cast<char>(*c);
        std::vector<std::pair<std::string, std::string>> fills = {
            {"{port}", m_port},   {"{closed}", std::to_string(host_env::closedLoopbackPort())},
            {"{dir}", dir},       {"{errors}", errors},
            {"{certs}", m_certs}, {"{version}", version}};
        for (const auto& [name, port] : m_tlsPorts) fills.push_back({"{port:" + name + "}", port});
        for (std::string& word : w) word = case_file::fill(word, fills);
        const std::string& op = w[0];
        if (kSlots.count(op) || op == "get_last_error" || op == "kept_error") {
            call(w);
        } else if (op == "write") {
            m_dir.write(bytes(w[1]), bytes(w[2]));
        } else if (op == "write_bytes") {
            std::string b;
            for (int i = 0; i < std::stoi(w[2]); ++i) b += static_cast<char>(i);
            m_dir.write(bytes(w[1]), b);
        } else if (op == "log" || op == "out") {
            case_file::find(op == "log" ? m_dir.read("smtp_errors.xml") : m_output, w);
        } else if (op == "option") {
            // option "NAME" has|lacks "A"...: what get_option answers for NAME.
            std::string value;
            for (const wchar_t* c = m_plugin->get_option(case_file::wide(w[1]).c_str()); *c; ++c)
                value += *c < 0x80 ? static_cast<char>(*c) : '?';
            Line rest(w.begin() + 1, w.end());
            rest[0] = op;
            case_file::find(value, rest);
        } else if (op == "absent" || op == "exists") {
            EXPECT_EQ(fs::exists(m_dir.file(bytes(w[1]))), op == "exists") << w[1];
        } else if (op == "unix_only") {
#ifdef _WIN32
            GTEST_SKIP() << "not for Windows";
#endif
        } else if (op == "run") {
#ifdef SMTP_SEND_PATH
            std::vector<std::string> args;
            for (size_t i = 1; i < w.size(); ++i) args.push_back(bytes(w[i]));
            m_status =
                runTool(args, m_input, m_output);  // the scratch directory is the current one
            m_input.clear();
#else
            FAIL() << "smtp-send is not built here";
#endif
        } else if (op == "stdin") {
            m_input = m_dir.file(bytes(w[1]));
        } else if (op == "status") {
            EXPECT_EQ(m_status, std::stoi(w[1])) << m_output;
        } else if (op == "cut") {
            const size_t from = m_output.find(bytes(w[1]));
            ASSERT_NE(from, std::string::npos) << m_output;
            m_output = m_output.substr(from, m_output.find(bytes(w[2]), from) - from);
        } else if (op == "capture") {
            smtptest::CaptureOptions o;
            for (size_t i = 1; i < w.size(); ++i) {
                if (w[i] == "user") o.username = bytes(w[++i]);
                if (w[i] == "password") o.password = bytes(w[++i]);
                if (w[i] == "reject") o.rejectRecipients.push_back(bytes(w[++i]));
                if (w[i] == "login_only") o.offerPlain = o.offerCramMd5 = false;
            }
            m_capture = std::make_unique<smtptest::CaptureServer>(o);
            ASSERT_TRUE(m_capture->start());
            m_port = std::to_string(m_capture->port());
        } else if (op == "aiosmtpd" || op == "postfix") {
            startRealServer(w);
        } else if (op == "delivered") {
            delivered(std::stoul(w[1]));
        } else if (op == "expect") {
            m_expect.push_back(bytes(w[1]));
        } else if (op == "message" || op == "envelope") {
            if (!m_read) return;  // aiosmtpd, or Postfix under Wine
            ASSERT_FALSE(m_messages.empty());
            const smtptest::CapturedMessage& m = m_messages.back();
            std::vector<std::string> envelope = {m.mailFrom};
            envelope.insert(envelope.end(), m.recipients.begin(), m.recipients.end());
            std::vector<std::string> want;
            for (size_t i = 1; i < w.size(); ++i) want.push_back(bytes(w[i]));
            if (op == "message") case_file::find(m.data, w);
            EXPECT_TRUE(op == "message" || envelope == want) << testing::PrintToString(envelope);
        } else if (op == "transcript") {
            case_file::find(m_capture->transcript(), w);
        } else if (op == "connections") {
            EXPECT_EQ(m_capture->connections(), std::stoi(w[1]));
        } else if (op == "logins") {
            EXPECT_EQ(m_capture->successfulLogins(), std::stoi(w[1]));
            EXPECT_EQ(m_capture->failedLogins(), std::stoi(w[2]));
        } else {
            FAIL() << "unknown step " << op;
        }
    }

    // Python's verdict (check_message.py) on the last message delivered,
    // where Python runs.
    void judge() {
#ifndef _WIN32
        std::vector<std::string> args = {"/usr/bin/python3",
                                         SMTP_INTEGRATION_DIR "/check_message.py", m_source};
        args.insert(args.end(), m_expect.begin(), m_expect.end());
        std::string report;
        EXPECT_TRUE(m_expect.empty() || smtp_integration::runCommand(args, report) == 0) << report;
#endif
        m_expect.clear();
    }

  private:
    void call(const Line& w) {
        const bool answer = w.size() > 2 && w[w.size() - 2] == "->";
        std::vector<std::wstring> texts;
        Args a;
        for (size_t i = 1; i < w.size() - (answer ? 2 : 0); ++i)
            texts.push_back(case_file::wide(w[i]));
        for (size_t i = 0; i < 4; ++i)
            a.push_back(i < texts.size() && w[i + 1] != "null" ? texts[i].c_str() : nullptr);
        // The code read last is kept, to show it stays readable after other calls.
        if (w[0] == "get_last_error") m_error = m_plugin->get_last_error();
        const bool error = w[0] == "get_last_error" || w[0] == "kept_error";
        const std::string got = error ? text(m_error) : kSlots.at(w[0])(m_plugin.get(), a);
        if (answer) {
            EXPECT_EQ(got, w.back()) << m_dir.read("smtp_errors.xml");
        }
    }

    void startRealServer(const Line& w) {
#ifdef _WIN32
        // scripts/test-windows starts Postfix on the Linux side: one with
        // NTLM only (no other options), and one with its TLS ports
        // (SMTP_POSTFIX_TLS_PORTS "NAME=PORT,...", the certificates in
        // SMTP_POSTFIX_CERTS as a Windows path) for "alice" with LOGIN and PLAIN.
        bool tls = false, other = false;
        for (size_t i = 4; i < w.size(); ++i) (bytes(w[i]) == "tls" ? tls : other) = true;
        const char* port = std::getenv(tls ? "SMTP_POSTFIX_TLS_PORT" : "SMTP_POSTFIX_NTLM_PORT");
        const char* ports = std::getenv("SMTP_POSTFIX_TLS_PORTS");
        const char* certs = std::getenv("SMTP_POSTFIX_CERTS");
        if (w[0] == "aiosmtpd" || other || !port || !*port ||
            (tls && (!ports || !*ports || !certs || !*certs)))
            GTEST_SKIP() << "no such " << w[0] << " here";
        m_port = port;
        if (tls) {
            std::string list = ports;
            for (size_t at = 0; at < list.size();) {
                size_t end = list.find(',', at);
                if (end == std::string::npos) end = list.size();
                const std::string item = list.substr(at, end - at);
                const size_t eq = item.find('=');
                ASSERT_NE(eq, std::string::npos) << ports;
                m_tlsPorts[item.substr(0, eq)] = item.substr(eq + 1);
                at = end + 1;
            }
            // The words' notation reads '\' as an escape (see step).
            m_certs = certs;
            for (size_t at = 0; (at = m_certs.find('\\', at)) != std::string::npos; at += 2)
                m_certs.insert(at, 1, '\\');
        }
#else
        std::string why;
        if (w[0] == "aiosmtpd") {
            m_aiosmtpd = std::make_unique<smtp_integration::AiosmtpdProcess>();
            m_source = "jsonl:" + host_env::utf8Of(m_dir.file("messages.jsonl"));
            if (!m_aiosmtpd->start({"--user", bytes(w[1]), "--password", bytes(w[2]), "--messages",
                                    m_source.substr(6)},
                                   why))
                GTEST_SKIP() << "aiosmtpd not available: " << why;
            m_port = std::to_string(m_aiosmtpd->port());
            return;
        }
        m_postfix = std::make_unique<smtp_integration::PostfixSasl>();
        smtp_integration::PostfixSasl::Options options;
        options.mechs = bytes(w[3]);
        for (size_t i = 4; i < w.size(); ++i) {
            options.smtpUtf8 = options.smtpUtf8 || bytes(w[i]) == "smtputf8";
            options.tls = options.tls || bytes(w[i]) == "tls";
            if (bytes(w[i]).rfind("size=", 0) == 0)
                options.sizeLimit = std::stol(bytes(w[i]).substr(5));
        }
        if (!m_postfix->start(bytes(w[1]), bytes(w[2]), options, why)) {
            if (m_postfix->skipped()) GTEST_SKIP() << why;
            FAIL() << why << m_postfix->logTail();
        }
        m_port = std::to_string(m_postfix->port());
        for (const char* name :
             {"starttls", "implicit", "wrong_name", "expired", "untrusted", "forged"})
            if (options.tls) m_tlsPorts[name] = std::to_string(m_postfix->tlsPort(name));
        m_certs = m_postfix->certDir();
#endif
    }

    // Exactly count messages arrived; Python reads the last one at the next
    // delivery or at the end.
    void delivered(size_t count) {
        judge();
        m_read = true;
        if (m_capture) {
            m_capture->waitForMessages(count, 5000);
            m_messages = m_capture->messages();
#ifndef _WIN32
        } else if (m_postfix) {
            m_messages.clear();
            for (const std::string& data : m_postfix->messages(count)) {
                smtptest::CapturedMessage m;
                m.data = data;
                m_messages.push_back(m);
            }
#endif
        } else {
            m_read = false;  // aiosmtpd keeps its own record; Postfix under Wine is out of reach
            return;
        }
        ASSERT_EQ(m_messages.size(), count);
        std::vector<std::string> ids;
        for (const smtptest::CapturedMessage& m : m_messages) {
            if (!m_capture) break;
            // What the plug-in writes, whatever the host gave (see deliveries.txt).
            const std::string header = m.data.substr(0, m.data.find("\r\n\r\n"));
            for (size_t at = 0; (at = header.find('\n', at)) != std::string::npos; ++at)
                EXPECT_TRUE(at > 0 && header[at - 1] == '\r') << "bare line feed in\n" << header;
            EXPECT_EQ(header.find("\r\nBcc"), std::string::npos) << header;
            const size_t id = header.find("\r\nMessage-ID: ");
            ASSERT_NE(id, std::string::npos) << header;
            ids.push_back(header.substr(id, header.find("\r\n", id + 2) - id));
            EXPECT_EQ(std::count(ids.begin(), ids.end(), ids.back()), 1) << ids.back();
        }
        if (count == 0) return;
        m_dir.write("delivered.eml", m_messages.back().data);
        m_source = host_env::utf8Of(m_dir.file("delivered.eml"));
        if (m_capture)
            m_expect.push_back(
                "only-headers=MIME-Version,Date,Message-ID,X-Mailer,X-Priority,Return-Path,From,To,"
                "Cc,Subject");
    }

    host_env::ScratchDir m_dir;
    std::unique_ptr<smtptest::CaptureServer> m_capture;
#ifndef _WIN32
    std::unique_ptr<smtp_integration::AiosmtpdProcess> m_aiosmtpd;
    std::unique_ptr<smtp_integration::PostfixSasl> m_postfix;
#endif
    host_env::Plugin m_plugin = host_env::create();
    std::string m_port;
    std::map<std::string, std::string> m_tlsPorts;
    std::string m_certs;
    const wchar_t* m_error = nullptr;
    bool m_read = false;  // m_messages holds what arrived
    std::vector<smtptest::CapturedMessage> m_messages;
    std::string m_source;
    std::vector<std::string> m_expect;
    fs::path m_input;      // the file the next run reads as standard input; empty for none
    int m_status = -1;     // smtp-send's exit status, or -1 when it did not exit normally
    std::string m_output;  // and its stdout and stderr together
};

class HostScript : public ::testing::TestWithParam<case_file::Case> {};

TEST_P(HostScript, Runs) {
    Host host;
    for (const auto& [text, line] : GetParam().steps) {
        SCOPED_TRACE(text);
        host.step(line);
        if (IsSkipped() || HasFatalFailure()) return;
    }
    host.judge();
}

INSTANTIATE_TEST_SUITE_P(Calls, HostScript, ::testing::ValuesIn(case_file::load("calls.txt")),
                         case_file::kCaseName);
INSTANTIATE_TEST_SUITE_P(Deliveries, HostScript,
                         ::testing::ValuesIn(case_file::load("deliveries.txt")),
                         case_file::kCaseName);
#ifdef SMTP_SEND_PATH
INSTANTIATE_TEST_SUITE_P(SmtpSend, HostScript,
                         ::testing::ValuesIn(case_file::load("smtp_send.txt")),
                         case_file::kCaseName);
#endif

TEST(Factory, EveryCallBuildsANewObjectWithItsOwnCode) {
    host_env::Plugin a = host_env::create(), b = host_env::create();
    EXPECT_NE(a.get(), b.get());
    EXPECT_FALSE(a->reserved_a(nullptr, nullptr, nullptr));
    EXPECT_STREQ(b->get_last_error(), L"");
    EXPECT_STREQ(a->get_last_error(), L"ERROR_NOT_IMPLEMENTED");
}

}  // namespace
