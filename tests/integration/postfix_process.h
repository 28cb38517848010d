#pragma once
// A private Postfix with Cyrus SASL (postfix_sasl.sh beside this file) as a
// test's real peer on POSIX: AUTH NTLM, LOGIN and PLAIN on plain TCP at
// 127.0.0.1:port(), one user, relaying only after AUTH, every delivered
// message kept as a file. Needs root; skipped() tells a missing package or
// user from a fault. Should the test die, the script's watcher stops Postfix.
// With Options::tls, more ports (tlsPort(): "starttls", "implicit",
// "wrong_name", "expired", "untrusted", "forged") show certificates made for the
// instance by make_tls_certs.sh; clients trust certDir() + "/ca.pem".
#ifndef _WIN32
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "command.h"

namespace smtp_integration {

class PostfixSasl {
  public:
    ~PostfixSasl() { stop(); }

    // Filled in by name ("Options o; o.tls = true;"): a braced argument is
    // ambiguous with the string overload below.
    struct Options {
        std::string mechs;      // "" for the default, "NTLM LOGIN PLAIN"
        bool smtpUtf8 = false;  // SMTPUTF8 (RFC 6531)
        long sizeLimit = 0;     // message_size_limit; 0 for Postfix's default
        bool tls = false;       // the TLS ports beside the plain one
    };

    // Starts Postfix with that user and mechanisms ("" for the default,
    // "NTLM LOGIN PLAIN"); on failure why holds the script's message.
    bool start(const std::string& user, const std::string& password, const std::string& mechs,
               std::string& why, bool smtpUtf8 = false) {
        Options options;
        options.mechs = mechs;
        options.smtpUtf8 = smtpUtf8;
        return start(user, password, options, why);
    }

    bool start(const std::string& user, const std::string& password, const Options& options,
               std::string& why) {
        stop();
        // Not under TMPDIR: the delivery runs as "nobody", which /tmp lets in.
        std::string dir = "/tmp/postfix-sasl.XXXXXX";
        if (!mkdtemp(dir.data())) {
            why = "mkdtemp " + dir + " failed";
            return false;
        }
        m_dir = dir;
        std::string out;
        // Fresh certificates for each instance, inside its directory, so stop()
        // removes them with the rest.
        const std::string certs = m_dir + "/tls";
        if (options.tls) {
            const int status = runCommand({SMTP_INTEGRATION_DIR "/make_tls_certs.sh", certs}, out);
            if (status != 0) {
                m_skipped = status == 77;
                why = "make_tls_certs.sh exited with " + std::to_string(status) + ": " + out;
                return false;
            }
        }
        // The script's watcher must know whom to watch. It prints the port last.
        const std::string watch = "POSTFIX_SASL_WATCH_PID=" + std::to_string(getpid());
        std::vector<std::string> args = {
            "env",
            watch,
            options.smtpUtf8 ? "POSTFIX_SASL_SMTPUTF8=yes" : "POSTFIX_SASL_SMTPUTF8=no",
            "POSTFIX_SASL_TLS=" + (options.tls ? certs : std::string()),
            "POSTFIX_SASL_SIZE_LIMIT=" + (options.sizeLimit > 0 ? std::to_string(options.sizeLimit)
                                                                : std::string("10240000")),
            SMTP_INTEGRATION_DIR "/postfix_sasl.sh",
            "start",
            m_dir,
            user,
            password};
        if (!options.mechs.empty()) args.push_back(options.mechs);
        const int status = runCommand(args, out);
        m_skipped = status == 77;
        const size_t end = out.find_last_not_of("\r\n"), at = out.rfind('\n', end);
        const long port =
            status ? 0
                   : std::strtol(out.c_str() + (at == std::string::npos ? 0 : at + 1), nullptr, 10);
        m_port = static_cast<uint16_t>(port > 0 && port < 65536 ? port : 0);
        why = "postfix_sasl.sh exited with " + std::to_string(status) + ": " + out;
        if (m_port == 0 || !options.tls) return m_port != 0;
        // "NAME PORT" lines.
        std::istringstream lines(readFile(m_dir + "/tls_ports"));
        std::string name;
        for (long p; lines >> name >> p;)
            if (p > 0 && p < 65536) m_tlsPorts[name] = static_cast<uint16_t>(p);
        if (m_tlsPorts.empty()) {
            why += " (no TLS ports in " + m_dir + "/tls_ports)";
            m_port = 0;
            return false;
        }
        m_certDir = certs;
        return true;
    }

    uint16_t port() const { return m_port; }
    bool skipped() const { return m_skipped; }

    // The port of that TLS service, 0 when there is none.
    uint16_t tlsPort(const std::string& name) const {
        const auto it = m_tlsPorts.find(name);
        return it == m_tlsPorts.end() ? 0 : it->second;
    }

    // Where ca.pem, server.pem and the others are; empty without TLS.
    std::string certDir() const { return m_certDir; }

    // The delivered messages (one file per recipient, headed by Return-Path
    // and Delivered-To), oldest first, waiting up to timeoutMs for at least
    // atLeast of them: delivery follows the 250 after DATA by some time.
    std::vector<std::string> messages(size_t atLeast = 0, int timeoutMs = 5000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (std::vector<std::string> result;; result.clear()) {
            std::vector<std::filesystem::path> names;
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(m_dir + "/mail", ec))
                if (entry.path().extension() == ".eml") names.push_back(entry.path());
            std::sort(names.begin(), names.end());
            for (const auto& n : names) result.push_back(readFile(n));
            if (result.size() >= atLeast || std::chrono::steady_clock::now() >= end) return result;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // The end of Postfix's log (SASL failures are logged there too) and of
    // the start-up output, for failure messages.
    std::string logTail() const {
        std::string text;
        for (const char* name : {"/maillog", "/start.log"}) {
            const std::string log = readFile(m_dir + name);
            text += "\n--- " + m_dir + name + ":\n" +
                    log.substr(log.size() - std::min<size_t>(log.size(), 4000));
        }
        return text;
    }

    void stop() {
        if (m_dir.empty()) return;
        std::string out;
        runCommand({SMTP_INTEGRATION_DIR "/postfix_sasl.sh", "stop", m_dir}, out);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
        m_dir.clear();
        m_port = 0;
        m_tlsPorts.clear();
        m_certDir.clear();
    }

  private:
    std::string m_dir, m_certDir;
    uint16_t m_port = 0;
    std::map<std::string, uint16_t> m_tlsPorts;
    bool m_skipped = false;
};

}  // namespace smtp_integration
#endif
