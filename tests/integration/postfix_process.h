#pragma once
// A private Postfix with Cyrus SASL (postfix_sasl.sh beside this file) as a
// test's real peer on POSIX: AUTH NTLM, LOGIN and PLAIN on plain TCP at
// 127.0.0.1:port(), one user, relaying only after AUTH, every delivered
// message kept as a file. Needs root; skipped() tells a missing package or
// user from a fault. Should the test die, the script's watcher stops Postfix.
#ifndef _WIN32
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "command.h"

namespace smtp_integration {

class PostfixSasl {
  public:
    ~PostfixSasl() { stop(); }

    // Starts Postfix with that user and mechanisms ("" for the default,
    // "NTLM LOGIN PLAIN"); on failure why holds the script's message.
    bool start(const std::string& user, const std::string& password, const std::string& mechs,
               std::string& why, bool smtpUtf8 = false) {
        stop();
        // Not under TMPDIR: the delivery runs as "nobody", which /tmp lets in.
        std::string dir = "/tmp/postfix-sasl.XXXXXX";
        if (!mkdtemp(dir.data())) {
            why = "mkdtemp " + dir + " failed";
            return false;
        }
        m_dir = dir;
        // The script's watcher must know whom to watch. It prints the port last.
        const std::string watch = "POSTFIX_SASL_WATCH_PID=" + std::to_string(getpid());
        std::vector<std::string> args = {
            "env",
            watch,
            smtpUtf8 ? "POSTFIX_SASL_SMTPUTF8=yes" : "POSTFIX_SASL_SMTPUTF8=no",
            SMTP_INTEGRATION_DIR "/postfix_sasl.sh",
            "start",
            m_dir,
            user,
            password};
        if (!mechs.empty()) args.push_back(mechs);
        std::string out;
        const int status = runCommand(args, out);
        m_skipped = status == 77;
        const size_t end = out.find_last_not_of("\r\n"), at = out.rfind('\n', end);
        const long port =
            status ? 0
                   : std::strtol(out.c_str() + (at == std::string::npos ? 0 : at + 1), nullptr, 10);
        m_port = static_cast<uint16_t>(port > 0 && port < 65536 ? port : 0);
        why = "postfix_sasl.sh exited with " + std::to_string(status) + ": " + out;
        return m_port != 0;
    }

    uint16_t port() const { return m_port; }
    bool skipped() const { return m_skipped; }

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
    }

  private:
    std::string m_dir;
    uint16_t m_port = 0;
    bool m_skipped = false;
};

}  // namespace smtp_integration
#endif
