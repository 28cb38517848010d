#pragma once
// A private Postfix with Cyrus SASL (postfix_sasl.sh next to this file) as
// the real peer of a test, on POSIX: AUTH NTLM, LOGIN and PLAIN on plain
// TCP at 127.0.0.1:port(), one user, relaying only after AUTH, every
// delivered message kept as a file in mailDir(). Its whole state lives in a
// fresh temporary directory that the destructor stops and removes; should
// the test die first, a watcher started by the script stops Postfix once
// the test's process is gone. SMTP_INTEGRATION_DIR names this directory.
//
//     smtp_integration::PostfixSasl postfix;
//     std::string why;
//     if (!postfix.start("alice", "secret", "NTLM LOGIN PLAIN", why)) {
//         if (postfix.skipped()) GTEST_SKIP() << why;
//         FAIL() << why << postfix.logTail();
//     }
//
// A plain user name ("alice") logs in with every mechanism; the SASL realm
// is the server's host name, mx.postfix-sasl.test. Needs root (Postfix's
// master runs as root); skipped() is true when not root or when a package
// (postfix, libsasl2-modules, sasl2-bin) is missing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

extern char** environ;

namespace smtp_integration {

class PostfixSasl {
  public:
    PostfixSasl() = default;
    PostfixSasl(const PostfixSasl&) = delete;
    PostfixSasl& operator=(const PostfixSasl&) = delete;
    ~PostfixSasl() { stop(); }

    // Starts Postfix with that user and mechanisms ("" for the default,
    // "NTLM LOGIN PLAIN"). On failure why says what went wrong (the
    // script's own message); skipped() tells a missing package from a fault.
    bool start(const std::string& user, const std::string& password, const std::string& mechs,
               std::string& why) {
        stop();
        m_skipped = false;
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp ? tmp : "/tmp";
        // The delivery runs as "nobody", which must reach the directory.
        struct stat st {};
        if (stat(base.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) base = "/tmp";
        std::string templ = base + "/postfix-sasl.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            why = "mkdtemp " + templ + " failed";
            return false;
        }
        m_dir = buf.data();

        std::vector<std::string> args = {script(), "start", m_dir, user, password};
        if (!mechs.empty()) args.push_back(mechs);
        std::string out, err;
        int status = run(args, out, err, 60000);
        if (status == 0) {
            long port = std::strtol(out.c_str(), nullptr, 10);
            if (port > 0 && port < 65536) {
                m_port = static_cast<uint16_t>(port);
                return true;
            }
            why = "postfix_sasl.sh printed no port: " + out + err;
            return false;
        }
        m_skipped = status == 77;
        why = err.empty() ? "postfix_sasl.sh exited with " + std::to_string(status) : err;
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
        return false;
    }

    uint16_t port() const { return m_port; }
    bool skipped() const { return m_skipped; }
    // The instance's directory (empty before start and after stop).
    const std::string& dir() const { return m_dir; }
    // Where each delivered message lands, one file per recipient, headed by
    // Return-Path and Delivered-To, named so that they sort by delivery.
    std::string mailDir() const { return m_dir.empty() ? std::string() : m_dir + "/mail"; }

    // The delivered messages so far, oldest first, waiting up to timeoutMs
    // for at least atLeast of them (delivery follows the 250 after DATA by
    // some milliseconds).
    std::vector<std::string> messages(size_t atLeast = 0, int timeoutMs = 5000) const {
        std::vector<std::string> result;
        for (long long end = nowMs() + timeoutMs;;) {
            std::vector<std::string> names;
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(mailDir(), ec))
                if (entry.path().extension() == ".eml") names.push_back(entry.path().string());
            std::sort(names.begin(), names.end());
            result.clear();
            for (const std::string& n : names) result.push_back(readFile(n));
            if (result.size() >= atLeast || nowMs() >= end) return result;
            usleep(20000);
        }
    }

    // The last lines of Postfix's log (SASL failures are logged there too)
    // and of the start-up output, for failure messages.
    std::string logTail(size_t lines = 40) const {
        if (m_dir.empty()) return std::string();
        std::string text =
            "\n--- " + m_dir + "/maillog:\n" + lastLines(readFile(m_dir + "/maillog"), lines);
        std::string start = readFile(m_dir + "/start.log");
        if (!start.empty()) text += "\n--- " + m_dir + "/start.log:\n" + lastLines(start, 10);
        return text;
    }

    void stop() {
        if (m_dir.empty()) return;
        std::string out, err;
        run({script(), "stop", m_dir}, out, err, 30000);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
        m_dir.clear();
        m_port = 0;
    }

  private:
    static std::string script() { return std::string(SMTP_INTEGRATION_DIR) + "/postfix_sasl.sh"; }

    static long long nowMs() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    // Runs args (no shell), collecting stdout and stderr until both close
    // or timeoutMs pass; the exit status, or -1 (killed, timed out, no exec).
    static int run(const std::vector<std::string>& args, std::string& out, std::string& err,
                   int timeoutMs) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // The watcher the script starts must know whom to watch. Everything
        // the child needs is made before fork (the test may have threads).
        std::string watch = "POSTFIX_SASL_WATCH_PID=" + std::to_string(getpid());
        std::vector<char*> envp;
        for (char** v = environ; v && *v; ++v)
            if (std::string(*v).rfind("POSTFIX_SASL_WATCH_PID=", 0) != 0) envp.push_back(*v);
        envp.push_back(const_cast<char*>(watch.c_str()));
        envp.push_back(nullptr);
        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) != 0) return -1;
        if (pipe2(e, O_CLOEXEC) != 0) {
            ::close(o[0]);
            ::close(o[1]);
            return -1;
        }
        pid_t pid = fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0) dup2(null, 0);
            dup2(o[1], 1);
            dup2(e[1], 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        ::close(o[1]);
        ::close(e[1]);
        if (pid < 0) {
            ::close(o[0]);
            ::close(e[0]);
            return -1;
        }
        pollfd fds[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
        std::string* sinks[2] = {&out, &err};
        int openPipes = 2;
        long long deadline = nowMs() + timeoutMs;
        while (openPipes > 0 && nowMs() < deadline) {
            if (poll(fds, 2, 100) < 0) break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --openPipes;
                }
            }
        }
        for (pollfd& p : fds)
            if (p.fd >= 0) ::close(p.fd);
        int status = 0;
        for (long long end = std::max(deadline, nowMs() + 2000);;) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (nowMs() >= end) break;
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }

    static std::string readFile(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }

    static std::string lastLines(const std::string& text, size_t lines) {
        size_t pos = text.size();
        if (pos > 0 && text[pos - 1] == '\n') --pos;
        for (size_t n = 0; pos > 0; --pos)
            if (text[pos - 1] == '\n' && ++n == lines) break;
        return text.substr(pos);
    }

    std::string m_dir;
    uint16_t m_port = 0;
    bool m_skipped = false;
};

}  // namespace smtp_integration
#endif
