#pragma once
// aiosmtpd (aiosmtpd_server.py next to this file) as a child process of a
// test, on POSIX. Its standard input is a pipe that only the test holds:
// when it closes (here, or because the test died) the server exits, so it
// never outlives the test. SMTP_INTEGRATION_DIR names this directory.
#include <cstdio>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace smtp_integration {

class AiosmtpdProcess {
  public:
    ~AiosmtpdProcess() { stop(); }

    bool start(const std::vector<std::string>& options, std::string& why) {
        const char* pythons[] = {"/usr/bin/python3", "python3"};
        std::string script = std::string(SMTP_INTEGRATION_DIR) + "/aiosmtpd_server.py";
        for (const char* python : pythons) {
            std::vector<std::string> args = {python, script};
            args.insert(args.end(), options.begin(), options.end());
            if (launch(args, why)) return true;
            stop();
        }
        return false;
    }

    uint16_t port() const { return m_port; }

  private:
    bool launch(const std::vector<std::string>& args, std::string& why) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
        if (m_pid < 0) return false;

        // The first line says "PORT n", or why the server cannot run.
        std::string line;
        for (int waited = 0; waited < 15000 && line.find('\n') == std::string::npos;) {
            pollfd p{m_stdout, POLLIN, 0};
            int r = poll(&p, 1, 100);
            if (r == 0) {
                waited += 100;
                continue;
            }
            char c;
            if (r < 0 || read(m_stdout, &c, 1) != 1) break;
            line += c;
        }
        if (line.rfind("PORT ", 0) == 0) {
            m_port = static_cast<uint16_t>(std::stoi(line.substr(5)));
            return true;
        }
        why = args[0] + ": " + (line.empty() ? std::string("no output") : line);
        return false;
    }

    void stop() {
        if (m_stdin >= 0) ::close(m_stdin);
        if (m_stdout >= 0) ::close(m_stdout);
        m_stdin = m_stdout = -1;
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            usleep(20000);
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    uint16_t m_port = 0;
};

// Runs check_message.py with the arguments; its report (empty when all
// matched) goes to report. True when every expectation held.
inline bool checkMessage(const std::vector<std::string>& args, std::string& report) {
    std::string cmd = "/usr/bin/python3 '" + std::string(SMTP_INTEGRATION_DIR) + "/check_message.py'";
    for (const std::string& a : args) {
        std::string q;
        for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += " '" + q + "'";
    }
    cmd += " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        report = "cannot run " + cmd;
        return false;
    }
    char buf[4096];
    size_t n;
    report.clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) report.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace smtp_integration
#endif
