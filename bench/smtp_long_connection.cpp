// Many sends over one reused SMTP connection: messages per second, and the
// resident memory after the first 1,000 sends against after the last, which
// shows whether state kept per send grows with the connection's age. The
// server discards everything and runs in its own process, so the memory
// measured is the client's alone.
//
//   bench_smtp_long_connection [--count N]     (default 100000)
//
// Exits non-zero when a send fails or the resident memory grew by 1 MB or
// more between the two readings.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "mail/cls_mail_man.h"
#include "mime/cls_email.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

namespace {

const long kFirstReading = 1000;
const long kMaxGrowthKb = 1024;

// VmRSS in kB, or -1.
long residentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// The discard server as a child process: its stdin is our pipe, so it also
// stops when we die.
class DiscardServer {
  public:
    bool start(const char* path) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl(path, path, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        bool ok = m_pid > 0 && readPort(out[0]);
        close(out[0]);
        return ok;
    }

    int port() const { return m_port; }

    // Closing its stdin asks it to stop; it is killed when it does not.
    void stop() {
        if (m_stdin >= 0) close(m_stdin);
        m_stdin = -1;
        if (m_pid <= 0) return;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            usleep(50 * 1000);
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    ~DiscardServer() { stop(); }

  private:
    // One line with the port, within 10 s.
    bool readPort(int fd) {
        std::string text;
        for (int i = 0; i < 100 && text.find('\n') == std::string::npos && text.size() < 64; ++i) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[64];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        m_port = std::atoi(text.c_str());
        return text.find('\n') != std::string::npos && m_port > 0 && m_port < 65536;
    }

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_port = 0;
};

void compose(ClsEmail& email) {
    auto x = [](const char* s) {
        XString v;
        v.setFromUtf8(s);
        return v;
    };
    XString from = x("sender@example.com"), subject = x("Long connection benchmark"),
            body = x("Hello,\r\nthis is one of many messages over one connection.\r\n"), none,
            to = x("rcpt@example.com");
    email.put_From(from);
    email.put_Subject(subject);
    email.put_Body(body);
    email.AddTo(none, to);
}

// Whether the last send went over the connection that was already open.
bool reusedConnection(ClsMailMan& mm) {
    StringBuffer xml;
    mm.log().GetXml(xml);
    return std::strstr(xml.getString(), "Using existing/open SMTP connection") != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 100000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else {
            count = 0;
            break;
        }
    }
    if (count <= 0 || count > 100000000) {
        std::fprintf(stderr, "usage: %s [--count N]\n", argv[0]);
        return 2;
    }

    DiscardServer server;
    if (!server.start(SMTP_DISCARD_SERVER)) {
        std::fprintf(stderr, "cannot start %s\n", SMTP_DISCARD_SERVER);
        return 1;
    }

    ClsMailMan mm;
    XString host;
    host.setFromUtf8("127.0.0.1");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(server.port());
    ClsEmail email;
    compose(email);

    const long first = count < kFirstReading ? count : kFirstReading;
    long rssFirst = -1, sent = 0;
    bool failed = false;
    auto start = std::chrono::steady_clock::now();
    while (sent < count) {
        if (!mm.SendEmail(email)) {
            StringBuffer xml;
            mm.log().GetXml(xml);
            std::fprintf(stderr, "send %ld failed:\n%s\n", sent + 1, xml.getString());
            failed = true;
            break;
        }
        ++sent;
        if (sent == first) rssFirst = residentKb();
        // Sampled: reading the log back on every send would slow the run.
        if ((sent == 2 || sent % 10000 == 0 || sent == count) && sent > 1 &&
            !reusedConnection(mm)) {
            std::fprintf(stderr, "send %ld opened a new connection\n", sent);
            failed = true;
            break;
        }
        if (sent % 10000 == 0) std::fprintf(stderr, "%ld sent, VmRSS %ld kB\n", sent, residentKb());
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long rssLast = residentKb();
    server.stop();

    std::printf("messages sent:            %ld of %ld over one connection\n", sent, count);
    std::printf("messages per second:      %.0f\n", seconds > 0 ? sent / seconds : 0.0);
    std::printf("VmRSS after %ld sends:   %ld kB\n", first, rssFirst);
    std::printf("VmRSS after the last:     %ld kB\n", rssLast);
    long growth = rssLast - rssFirst;
    std::printf("difference:               %ld kB (limit %ld kB)\n", growth, kMaxGrowthKb);
    if (failed) return 1;
    if (rssFirst < 0 || rssLast < 0 || growth >= kMaxGrowthKb) return 1;
    return 0;
}
