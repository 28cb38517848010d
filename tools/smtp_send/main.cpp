// smtp-send: a sample host. It loads the smtp_plugin module at run time, as
// a real host application does, and drives it through email_interface alone.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/email_interface.h"
#include "plugin/wide_text.h"
#include "tools/smtp_send/report.h"
#include "tools/smtp_send/utf8.h"
#include "tools/smtp_server/smtp_test_server.h"
#include "tools/smtp_server/tls_server.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;
using namespace smtp_send;

namespace {

const char* const kUsageText =
    "Usage: smtp-send [options]\n"
    "Sends one message, or checks a login, through the smtp_plugin module, loaded\n"
    "at run time the way a host application loads it.\n"
    "\n"
    "  --server HOST[:PORT]  SMTP server; the port is 25 when omitted. Without\n"
    "                        --server the message goes to an embedded capture\n"
    "                        server on 127.0.0.1 (a free port), and what it received\n"
    "                        is printed: the envelope (MAIL FROM, RCPT TO) and the\n"
    "                        MIME text. With --user and --password it asks for\n"
    "                        that login.\n"
    "  --user NAME           login name (none when omitted)\n"
    "  --password TEXT       password (none when omitted)\n"
    "  --from ADDRESS        sender (required for a send)\n"
    "  --to ADDRESS          recipient; may be repeated\n"
    "  --cc ADDRESS          copy recipient; may be repeated\n"
    "  --bcc ADDRESS         blind copy recipient; may be repeated\n"
    "                        (at least one --to, --cc or --bcc is required)\n"
    "  --subject TEXT        subject line\n"
    "  --body TEXT           plain-text body\n"
    "  --body-file PATH      plain-text body read from a file ('-': standard input),\n"
    "                        UTF-8, byte for byte (a final line end is kept)\n"
    "  --html TEXT           HTML body (it takes the place of a plain-text body)\n"
    "  --html-file PATH      HTML body read from a file ('-': standard input)\n"
    "  --attach PATH         attach a file; may be repeated\n"
    "  --verify              check the login instead of sending: connect, TLS as\n"
    "                        the options say, AUTH, QUIT (the plug-in's connect()).\n"
    "                        Needs --user and --password; takes no message options.\n"
    "                        verify_login=strict is set first, so a server that\n"
    "                        offers no AUTH fails the check (--option can undo it)\n"
    "  -v, --verbose         after the send or check, print the SMTP dialogue that\n"
    "                        the activity log holds (credentials are never shown;\n"
    "                        after a success the greeting, EHLO, TLS and AUTH\n"
    "                        steps, the commands' transcript only after a failure),\n"
    "                        the TLS version and cipher, the AUTH mechanism used and\n"
    "                        the server's last reply; after a failure also the log\n"
    "  --module PATH         the module to load (default: the smtp_plugin module next\n"
    "                        to this program)\n"
    "  --capture-tls MODE    the embedded capture server speaks TLS with a throwaway\n"
    "                        certificate for localhost and 127.0.0.1: 'starttls'\n"
    "                        offers STARTTLS, 'implicit' speaks TLS from the first\n"
    "                        byte (as on port 465); what it received then says\n"
    "                        whether the session was under TLS, and with which\n"
    "                        version and cipher (not with --server). The plug-in\n"
    "                        is given tls=MODE and that certificate as tls_ca_file\n"
    "                        (a temporary file), so the check passes; --option\n"
    "                        can override either\n"
    "  --option NAME=VALUE   passed to the plug-in's set_option before the send; may\n"
    "                        be repeated. tls=auto|starttls|implicit|off,\n"
    "                        tls_verify=on|off, tls_ca_file=PATH,\n"
    "                        auth=auto|login|plain|cram-md5|ntlm|xoauth2 (with\n"
    "                        xoauth2 the --password is the access token),\n"
    "                        helo_name=NAME, connect_timeout=S, read_timeout=S,\n"
    "                        error_file=PATH (where a failure's log goes; default\n"
    "                        smtp_errors.xml here; empty for none),\n"
    "                        verify_login=normal|strict (plugin/email_interface.h)\n"
    "  --version             print the versions of smtp-send and of the module\n"
    "  --help                show this text\n"
    "\n"
    "Every option that takes a value accepts it as the next argument or after '='.\n"
    "Text arguments are UTF-8.\n"
    "\n"
    "On failure the first error and its hint are printed, then the path of the\n"
    "activity log (the error_file).\n"
    "Exit status:\n"
    "  0  sent (every recipient accepted), or the login check passed\n"
    "  1  other failure (the module cannot be loaded, the server failed otherwise)\n"
    "  2  usage: the command line, a setting the plug-in refused, a file not found\n"
    "  3  connect: no SMTP session (name lookup, connection refused or timed out,\n"
    "     no greeting)\n"
    "  4  TLS: a required TLS session not reached (STARTTLS not offered or\n"
    "     refused, handshake, certificate), or TLS not set up here\n"
    "  5  authentication: the login refused, or no mechanism to log in with\n"
    "  6  recipients refused: not sent, the server refused the recipients\n"
    "  7  partly refused: sent, but the recipients listed were refused\n";

struct Options {
    bool help = false;
    bool version = false;
    bool verify = false;
    bool verbose = false;
    bool haveServer = false;
    std::string host;
    std::string port = "25";
    std::string user;
    std::string password;
    std::string from;
    std::vector<std::string> to, cc, bcc, attach;
    bool haveSubject = false, haveBody = false, haveHtml = false;
    std::string subject, body, html;
    std::string bodyFile, htmlFile;  // paths, "-" for standard input
    std::string module;
    std::string captureTls;  // "starttls" or "implicit"; empty for none
    std::vector<std::pair<std::string, std::string>> pluginOptions;  // --option, in order
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "smtp-send: %s\n(try --help)\n", message.c_str());
    return kExitUsage;
}

bool isPort(const std::string& s) {
    if (s.empty() || s.size() > 5) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    long v = std::stol(s);
    return v >= 1 && v <= 65535;
}

// Returns -1 when the command line is good, else the exit status to use.
int parse(const std::vector<std::string>& args, Options& o) {
    for (size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (name == "--version") {
            o.version = true;
            continue;
        }
        if (name == "--verify") {
            o.verify = true;
            continue;
        }
        if (name == "-v" || name == "--verbose") {
            o.verbose = true;
            continue;
        }
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        static const char* const kValued[] = {
            "--server", "--user",    "--password",    "--from",      "--to",   "--cc",
            "--bcc",    "--subject", "--body",        "--body-file", "--html", "--html-file",
            "--attach", "--module",  "--capture-tls", "--option"};
        bool known = false;
        for (const char* k : kValued) known = known || name == k;
        if (!known) return usageError("unknown option '" + name + "'");
        if (!inlineValue) {
            if (i + 1 >= args.size()) return usageError("option " + name + " needs a value");
            value = args[++i];
        }

        if (name == "--server") {
            size_t colon = value.rfind(':');
            o.host = colon == std::string::npos ? value : value.substr(0, colon);
            if (colon != std::string::npos) o.port = value.substr(colon + 1);
            if (o.host.empty()) return usageError("--server needs a host name");
            if (!isPort(o.port)) return usageError("bad port '" + o.port + "' (1 to 65535)");
            o.haveServer = true;
        } else if (name == "--user") {
            o.user = value;
        } else if (name == "--password") {
            o.password = value;
        } else if (name == "--from") {
            o.from = value;
        } else if (name == "--to" || name == "--cc" || name == "--bcc" || name == "--attach") {
            if (value.empty()) return usageError("option " + name + " needs a non-empty value");
            auto& list = name == "--to"    ? o.to
                         : name == "--cc"  ? o.cc
                         : name == "--bcc" ? o.bcc
                                           : o.attach;
            list.push_back(value);
        } else if (name == "--subject") {
            o.subject = value;
            o.haveSubject = true;
        } else if (name == "--body") {
            o.body = value;
            o.haveBody = true;
        } else if (name == "--html") {
            o.html = value;
            o.haveHtml = true;
        } else if (name == "--body-file" || name == "--html-file") {
            if (value.empty()) return usageError(name + " needs a path ('-' for standard input)");
            (name == "--body-file" ? o.bodyFile : o.htmlFile) = value;
        } else if (name == "--module") {
            if (value.empty()) return usageError("--module needs a path");
            o.module = value;
        } else if (name == "--option") {
            const size_t sep = value.find('=');
            if (sep == std::string::npos || sep == 0)
                return usageError("--option takes NAME=VALUE, not '" + value + "'");
            o.pluginOptions.push_back({value.substr(0, sep), value.substr(sep + 1)});
        } else if (name == "--capture-tls") {
            if (value != "starttls" && value != "implicit")
                return usageError("--capture-tls takes starttls or implicit, not '" + value + "'");
            o.captureTls = value;
        }
    }
    if (o.help || o.version) return -1;
    if (o.haveServer && !o.captureTls.empty())
        return usageError("--capture-tls is for the embedded capture server, not with --server");
    if (o.haveBody && !o.bodyFile.empty())
        return usageError("--body and --body-file cannot both give the body");
    if (o.haveHtml && !o.htmlFile.empty())
        return usageError("--html and --html-file cannot both give the HTML body");
    if (o.bodyFile == "-" && o.htmlFile == "-")
        return usageError("only one of --body-file and --html-file can read standard input");
    if (o.verify) {
        if (o.user.empty() || o.password.empty())
            return usageError("--verify needs --user and --password");
        if (!o.from.empty() || !o.to.empty() || !o.cc.empty() || !o.bcc.empty() ||
            !o.attach.empty() || o.haveSubject || o.haveBody || o.haveHtml || !o.bodyFile.empty() ||
            !o.htmlFile.empty())
            return usageError(
                "--verify sends no message: no --from, recipients, subject, "
                "body or attachment");
        return -1;
    }
    if (o.from.empty()) return usageError("--from is required");
    if (o.to.empty() && o.cc.empty() && o.bcc.empty())
        return usageError("at least one --to, --cc or --bcc is required");
    return -1;
}

// ---------------------------------------------------------------- loading
#if defined(_WIN32)
using ModuleHandle = HMODULE;
const char* const kModuleFile = "smtp_plugin.dll";

fs::path executableDir() {
    std::vector<wchar_t> buf(32768);
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    return fs::path(std::wstring(buf.data(), n)).parent_path();
}

ModuleHandle loadModule(const fs::path& path, std::string& error) {
    HMODULE h = LoadLibraryW(path.wstring().c_str());
    if (!h) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return h;
}

Createsmtp_plugin_fn findFactory(ModuleHandle h) {
    return reinterpret_cast<Createsmtp_plugin_fn>(
        reinterpret_cast<void*>(GetProcAddress(h, "Createsmtp_plugin")));
}

void unloadModule(ModuleHandle h) {
    FreeLibrary(h);
}

std::vector<std::string> utf8Arguments(int, char**) {
    std::vector<std::string> out;
    int n = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &n);
    for (int i = 0; wargv && i < n; ++i) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(bytes > 0 ? bytes : 1, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, s.data(), bytes, nullptr, nullptr);
        s.resize(std::strlen(s.c_str()));
        out.push_back(s);
    }
    if (wargv) LocalFree(wargv);
    return out;
}

fs::path pathFromUtf8(const std::string& s) {
    return fs::path(utf8ToWide(s));
}

std::string utf8Path(const fs::path& p) {
    return plugin::toUtf8(p.wstring().c_str()).str();
}
#else
using ModuleHandle = void*;
const char* const kModuleFile = "smtp_plugin.so";

fs::path executableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : exe.parent_path();
}

ModuleHandle loadModule(const fs::path& path, std::string& error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        error = e ? e : "dlopen failed";
    }
    return h;
}

Createsmtp_plugin_fn findFactory(ModuleHandle h) {
    return reinterpret_cast<Createsmtp_plugin_fn>(dlsym(h, "Createsmtp_plugin"));
}

void unloadModule(ModuleHandle h) {
    dlclose(h);
}

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

fs::path pathFromUtf8(const std::string& s) {
    return fs::path(s);
}

std::string utf8Path(const fs::path& p) {
    return p.string();
}
#endif

// The module next to this program (the build tree, the Windows package), or
// where an install puts it on Linux: PREFIX/lib/smtp_plugin beside PREFIX/bin.
fs::path defaultModule() {
    const fs::path beside = executableDir() / kModuleFile;
    const fs::path installed = executableDir().parent_path() / "lib" / "smtp_plugin" / kModuleFile;
    std::error_code ec;
    return fs::exists(beside, ec) || !fs::exists(installed, ec) ? beside : installed;
}

// A body file's bytes as they are ("-": standard input); false with the
// reason when it cannot be read or is not text.
bool readBodyFile(const std::string& path, std::string& out, std::string& why) {
    if (path == "-") {
        out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad()) {
            why = "cannot read standard input";
            return false;
        }
    } else {
        std::ifstream in(pathFromUtf8(path), std::ios::binary);
        if (!in) {
            why = "cannot read " + path;
            return false;
        }
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The interface takes null-terminated text: a NUL would cut it short.
    if (out.find('\0') != std::string::npos) {
        why = (path == "-" ? std::string("standard input") : path) +
              " is not text: it holds a NUL byte";
        return false;
    }
    return true;
}

// A get_option answer as UTF-8.
std::string option(email_interface* mail, const wchar_t* name) {
    return plugin::toUtf8(mail->get_option(name)).str();
}

// The error codes are ASCII.
std::string errorCode(email_interface* mail) {
    return plugin::toUtf8(mail->get_last_error()).str();
}

// Reports the pending error code of a composing step that returned false:
// the module refused an argument of the command line.
int stepFailed(email_interface* mail, const std::string& step) {
    const std::string code = errorCode(mail);
    std::fprintf(stderr, "smtp-send: %s failed: %s\n", step.c_str(),
                 code.empty() ? "(no error code)" : code.c_str());
    return code == "ERROR_INVALID_ARG" || code == "ERROR_FILE_NOT_FOUND" ? kExitUsage : kExitOther;
}

// The absolute path of the error file the module uses; empty when it
// writes none.
std::string errorFilePath(email_interface* mail) {
    const std::string file = option(mail, L"error_file");
    if (file.empty()) return "";
    std::error_code ec;
    const fs::path absolute = fs::absolute(pathFromUtf8(file), ec);
    return ec ? file : utf8Path(absolute);
}

// After -v: the dialogue the log holds, and what the session used.
void printVerbose(email_interface* mail, const Options& o, bool failed) {
    const std::string log = option(mail, L"log");
    std::string text = "---- SMTP dialogue (from the activity log; credentials are not logged)\n";
    for (const std::string& line : dialogue(log)) text += line + "\n";
    const std::string tls = option(mail, L"tls_session");
    text += "---- session\nTLS: " + (tls.empty() ? std::string("none") : tls) + "\n";
    text += "AUTH: " + option(mail, L"auth_used") + "\n";
    text += "last reply: " + option(mail, L"last_reply") + "\n";
    if (failed)
        text += "---- activity log\n" + log + (log.empty() || log.back() != '\n' ? "\n" : "");
    text += "---- end of the report\n";
    text = masked(text, o.user, o.password);
    std::fwrite(text.data(), 1, text.size(), failed ? stderr : stdout);
    std::fflush(failed ? stderr : stdout);
}

// What the embedded server received, on standard output.
void printCaptured(const smtptest::CaptureServer& server, bool showTls) {
    // The end-of-data reply leaves the server only after it stored the
    // message, so it is there already; the wait is a guard.
    server.waitForMessages(1, 5000);
    const std::vector<smtptest::CapturedMessage> messages = server.messages();
    if (messages.empty()) {
        std::printf("smtp-send: the capture server received no message\n");
        return;
    }
    const smtptest::CapturedMessage& m = messages.back();
    std::printf("---- envelope\n");
    if (showTls)
        std::printf("TLS: %s\n",
                    m.tls.empty() ? "none (the session stayed in the clear)" : m.tls.c_str());
    if (!m.authUser.empty()) std::printf("AUTH as %s\n", m.authUser.c_str());
    std::printf("MAIL FROM:<%s>\n", m.mailFrom.c_str());
    for (const std::string& r : m.recipients) std::printf("RCPT TO:<%s>\n", r.c_str());
    std::printf("---- message (%zu bytes)\n", m.data.size());
    std::fwrite(m.data.data(), 1, m.data.size(), stdout);
    if (m.data.empty() || m.data.back() != '\n') std::printf("\n");
    std::printf("---- end\n");
    std::fflush(stdout);
}

// A failed send or check: the class as the exit status, the first error and
// its hint, and where the log went.
int reportFailure(email_interface* mail, const Options& o, const std::string& code,
                  const std::string& what) {
    Failure f;
    f.code = code;
    f.firstError = option(mail, L"last_error");
    f.log = option(mail, L"log");
    f.refused = option(mail, L"refused_recipients");
    f.authUsed = option(mail, L"auth_used");
    const ExitStatus status = classify(f);
    static const char* const kClass[] = {
        "",    "other",          "usage error",        "connect",
        "TLS", "authentication", "recipients refused", "partly refused"};
    std::string text = "smtp-send: " + what + " failed";
    if (status != kExitOther) text += std::string(" (") + kClass[status] + ")";
    if (!code.empty()) text += ": " + code;
    text += "\n";
    if (!f.firstError.empty()) text += "smtp-send: " + f.firstError + "\n";
    if (!f.refused.empty()) text += "smtp-send: refused recipients: " + f.refused + "\n";
    const std::string file = errorFilePath(mail);
    std::error_code ec;
    if (file.empty())
        text += "smtp-send: no activity log written (error_file is empty)\n";
    else if (fs::exists(pathFromUtf8(file), ec))
        text += "smtp-send: activity log: " + file + "\n";
    else
        text += "smtp-send: no activity log written to " + file + "\n";
    text = masked(text, o.user, o.password);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    if (o.verbose) printVerbose(mail, o, true);
    return status;
}

void setServer(email_interface* mail, const Options& o, const std::string& host,
               const std::string& port) {
    for (const auto& [name, value] : o.pluginOptions)
        mail->set_option(utf8ToWide(name).c_str(), utf8ToWide(value).c_str());
    mail->set_server(utf8ToWide(host).c_str(), utf8ToWide(port).c_str(), utf8ToWide(o.user).c_str(),
                     utf8ToWide(o.password).c_str());
}

// The login check: connect() logs in and QUITs.
int verify(email_interface* mail, const Options& o, const std::string& host,
           const std::string& port) {
    setServer(mail, o, host, port);
    if (mail->connect()) {
        const std::string tls = option(mail, L"tls_session");
        std::printf("smtp-send: login accepted by %s:%s (AUTH %s, TLS: %s)\n", host.c_str(),
                    port.c_str(), option(mail, L"auth_used").c_str(),
                    tls.empty() ? "none" : tls.c_str());
        std::fflush(stdout);
        if (o.verbose) printVerbose(mail, o, false);
        return kExitOk;
    }
    // connect() writes no error file; the check's log goes where a failed
    // send's would.
    const std::string file = errorFilePath(mail);
    if (!file.empty()) {
        const std::string log = option(mail, L"log");
        std::ofstream(pathFromUtf8(file), std::ios::binary)
            .write(log.data(), static_cast<std::streamsize>(log.size()));
    }
    return reportFailure(mail, o, "", "login check");
}

int drive(email_interface* mail, const Options& o, smtptest::CaptureServer* capture) {
    const std::string host = capture ? "127.0.0.1" : o.host;
    const std::string port = capture ? std::to_string(capture->port()) : o.port;
    if (o.verify) return verify(mail, o, host, port);

    std::string body = o.body, html = o.html, why;
    if (!o.bodyFile.empty() && !readBodyFile(o.bodyFile, body, why)) return usageError(why);
    if (!o.htmlFile.empty() && !readBodyFile(o.htmlFile, html, why)) return usageError(why);

    setServer(mail, o, host, port);
    if (!mail->set_from(utf8ToWide(o.from).c_str())) return stepFailed(mail, "--from");
    for (const auto& a : o.to)
        if (!mail->add_to(utf8ToWide(a).c_str())) return stepFailed(mail, "--to " + a);
    // add_cc and add_bcc answer false also when the address was taken; only an
    // error code tells a real failure.
    for (const auto& a : o.cc) {
        mail->add_cc(utf8ToWide(a).c_str());
        if (*mail->get_last_error()) return stepFailed(mail, "--cc " + a);
    }
    for (const auto& a : o.bcc) {
        mail->add_bcc(utf8ToWide(a).c_str());
        if (*mail->get_last_error()) return stepFailed(mail, "--bcc " + a);
    }
    if (o.haveSubject && !mail->set_subject(utf8ToWide(o.subject).c_str()))
        return stepFailed(mail, "--subject");
    if ((o.haveBody || !o.bodyFile.empty()) && !mail->set_body(utf8ToWide(body).c_str()))
        return stepFailed(mail, "--body");
    if ((o.haveHtml || !o.htmlFile.empty()) && !mail->set_html_body(utf8ToWide(html).c_str()))
        return stepFailed(mail, "--html");
    for (const auto& a : o.attach)
        if (!mail->add_attachment(utf8ToWide(a).c_str())) return stepFailed(mail, "--attach " + a);

    if (!mail->send()) return reportFailure(mail, o, errorCode(mail), "send");
    // A send that some recipients refused still answers true.
    const std::string refused = option(mail, L"refused_recipients");
    std::printf("smtp-send: sent to %s:%s%s\n", host.c_str(), port.c_str(),
                capture ? " (embedded capture server)" : "");
    if (!refused.empty()) std::printf("smtp-send: refused recipients: %s\n", refused.c_str());
    std::fflush(stdout);
    if (capture) printCaptured(*capture, !o.captureTls.empty());
    if (o.verbose) printVerbose(mail, o, false);
    return refused.empty() ? kExitOk : kExitPartial;
}

// --version: this program's and the module's.
int printVersion(email_interface* mail) {
    std::printf("smtp-send %s (module %s)\n", SMTP_PLUGIN_VERSION,
                option(mail, L"version").c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    // The message text carries its own CR LF; text mode would double the CR,
    // and would drop CRs and stop at ^Z in a body read from standard input.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    const std::vector<std::string> args = utf8Arguments(argc, argv);
    Options options;
    int status = parse(args, options);
    if (status >= 0) return status;
    if (options.help) {
        std::fputs(kUsageText, stdout);
        return kExitOk;
    }

    const fs::path modulePath =
        options.module.empty() ? defaultModule() : pathFromUtf8(options.module);
    std::string error;
    ModuleHandle module = loadModule(modulePath, error);
    if (!module) {
        if (options.version) std::printf("smtp-send %s\n", SMTP_PLUGIN_VERSION);
        std::fprintf(stderr, "smtp-send: cannot load %s: %s\n", utf8Path(modulePath).c_str(),
                     error.c_str());
        return kExitOther;
    }
    Createsmtp_plugin_fn create = findFactory(module);
    email_interface* mail = create ? create() : nullptr;
    if (!mail) {
        std::fprintf(stderr, "smtp-send: %s has no working Createsmtp_plugin\n",
                     utf8Path(modulePath).c_str());
        unloadModule(module);
        return kExitOther;
    }
    if (options.version) {
        status = printVersion(mail);
        mail->release();
        unloadModule(module);
        return status;
    }
    // Without --server the message goes to a server of our own.
    std::unique_ptr<smtptest::CaptureServer> capture;
    if (!options.haveServer) {
        smtptest::CaptureOptions co;
        co.username = options.user;
        co.password = options.password;
        if (options.captureTls == "starttls") co.tls = smtptest::CaptureOptions::Tls::StartTls;
        if (options.captureTls == "implicit") co.tls = smtptest::CaptureOptions::Tls::Implicit;
        capture = std::make_unique<smtptest::CaptureServer>(co);
        if (!capture->start()) {
            std::fprintf(stderr, "smtp-send: cannot start the embedded capture server: %s\n",
                         capture->startError().c_str());
            mail->release();
            unloadModule(module);
            return kExitOther;
        }
    }
    // A login check fails when no login was made, unless --option says otherwise.
    if (options.verify)
        options.pluginOptions.insert(options.pluginOptions.begin(), {"verify_login", "strict"});
    // A TLS capture server: the plug-in requires TLS and trusts the
    // server's throwaway certificate, unless the command line says otherwise.
    fs::path trusted;
    if (capture && !options.captureTls.empty()) {
        trusted = fs::temp_directory_path() /
                  ("smtp-send-capture-" + std::to_string(capture->port()) + ".pem");
        std::ofstream(trusted, std::ios::binary) << smtptest::throwawayCertificatePem();
        options.pluginOptions.insert(
            options.pluginOptions.begin(),
            {{"tls", options.captureTls}, {"tls_ca_file", trusted.string()}});
    }
    status = drive(mail, options, capture.get());
    if (!trusted.empty()) {
        std::error_code ec;
        fs::remove(trusted, ec);
    }
    mail->release();  // slot 1, as every host destroys the object (QUIT)
    if (capture) capture->stop();
    unloadModule(module);
    return status;
}
