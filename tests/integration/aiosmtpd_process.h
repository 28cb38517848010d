#pragma once
// aiosmtpd (aiosmtpd_server.py) as a child process of a test on POSIX. The
// server exits when its standard input, a pipe only the test holds, closes,
// so it never outlives the test.
#ifndef _WIN32
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "command.h"

namespace smtp_integration {

class AiosmtpdProcess {
  public:
    ~AiosmtpdProcess() {
        if (m_stdin) pclose(m_stdin);
    }

    // False, with the reason, when the server does not come up (no Python,
    // no aiosmtpd). Its first line says "PORT n", or why it cannot run.
    bool start(const std::vector<std::string>& options, std::string& why) {
        char first[] = "/tmp/aiosmtpd-port.XXXXXX";
        ::close(mkstemp(first));
        std::vector<std::string> args = {"/usr/bin/python3",
                                         SMTP_INTEGRATION_DIR "/aiosmtpd_server.py"};
        args.insert(args.end(), options.begin(), options.end());
        m_stdin = popen(("exec" + shellWords(args) + " >" + first).c_str(), "we");
        std::string line;
        for (int waited = 0; m_stdin && line.find('\n') == std::string::npos && waited < 15000;
             waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            line = readFile(first);
        }
        unlink(first);
        if (line.rfind("PORT ", 0) == 0) {
            m_port = static_cast<uint16_t>(std::stoi(line.substr(5)));
            return true;
        }
        why = args[0] + ": " + (line.empty() ? std::string("no output") : line);
        return false;
    }

    uint16_t port() const { return m_port; }

  private:
    FILE* m_stdin = nullptr;
    uint16_t m_port = 0;
};

}  // namespace smtp_integration
#endif
