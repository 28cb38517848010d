// An SMTP server on 127.0.0.1 that accepts every message and keeps none of
// it, so a client can send without end while the server's memory stays flat.
// It prints its port on stdout, serves one connection at a time, and stops
// when stdin closes, on SIGTERM or SIGINT, or after its lifetime.
//
//   smtp-discard-server [--port N] [--lifetime-s N]
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/sockets.h"

namespace {

volatile std::sig_atomic_t g_signalled = 0;
std::atomic<bool> g_stdinClosed{false};

// Waits are cut into slices this long so that a stop is noticed soon.
const uint32_t kSliceMs = 100;
// A connection silent this long is dropped.
const uint32_t kIdleMs = 60000;
// Only the start of a line matters; the rest of a longer one is skipped.
const size_t kMaxLine = 1024;

void onSignal(int) {
    g_signalled = 1;
}

class Server {
  public:
    explicit Server(uint32_t lifetimeMs)
        : m_start(platform::tickCount()), m_lifetimeMs(lifetimeMs) {}

    bool stopping() const {
        return g_signalled || g_stdinClosed.load() ||
               platform::tickCount() - m_start >= m_lifetimeMs;
    }

    void serve(platform::SocketHandle s) {
        m_s = s;
        m_line.clear();
        m_line.reserve(kMaxLine);
        m_inData = m_haveMail = false;
        m_recipients = 0;
        m_messages = 0;
        if (reply("220 discard.localhost ESMTP discard server ready\r\n")) readLoop();
        platform::shutdownBoth(m_s);
        platform::closeSocketHandle(m_s);
        std::fprintf(stderr, "smtp-discard-server: connection closed after %lu messages\n",
                     m_messages);
    }

  private:
    void readLoop() {
        char buf[16384];
        uint32_t lastData = platform::tickCount();
        while (!stopping()) {
            int err = 0;
            int r = platform::selectReadable(m_s, kSliceMs, err);
            if (r < 0) return;
            if (r == 0) {
                if (platform::tickCount() - lastData >= kIdleMs) return;
                continue;
            }
            long n = platform::recvSome(m_s, buf, sizeof buf, err);
            if (n <= 0) return;
            lastData = platform::tickCount();
            for (long i = 0; i < n; ++i) {
                char c = buf[i];
                if (c != '\n') {
                    if (m_line.size() < kMaxLine) m_line += c;
                    continue;
                }
                if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
                bool go = m_inData ? dataLine() : command();
                m_line.clear();
                if (!go) return;
            }
        }
    }

    bool reply(const char* text) {
        size_t len = std::strlen(text), done = 0;
        uint32_t start = platform::tickCount();
        while (done < len) {
            if (stopping() || platform::tickCount() - start >= 10000) return false;
            int err = 0;
            int r = platform::selectWritable(m_s, kSliceMs, err);
            if (r < 0) return false;
            if (r == 0) continue;
            long n = platform::sendSome(m_s, text + done, static_cast<uint32_t>(len - done), err);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool dataLine() {
        if (m_line != ".") return true;
        m_inData = m_haveMail = false;
        m_recipients = 0;
        ++m_messages;
        return reply("250 2.0.0 Ok: discarded\r\n");
    }

    bool verbIs(const char* verb) const {
        size_t n = std::strlen(verb);
        if (m_line.size() < n || (m_line.size() > n && m_line[n] != ' ')) return false;
        for (size_t i = 0; i < n; ++i)
            if ((m_line[i] & ~0x20) != verb[i]) return false;
        return true;
    }

    // False ends the connection.
    bool command() {
        if (verbIs("EHLO")) {
            m_haveMail = false;
            m_recipients = 0;
            return reply(
                "250-discard.localhost\r\n250-PIPELINING\r\n250-8BITMIME\r\n250 SIZE "
                "104857600\r\n");
        }
        if (verbIs("HELO")) return reply("250 discard.localhost\r\n");
        if (verbIs("MAIL")) {
            if (m_haveMail) return reply("503 5.5.1 Nested MAIL command\r\n");
            m_haveMail = true;
            return reply("250 2.1.0 Ok\r\n");
        }
        if (verbIs("RCPT")) {
            if (!m_haveMail) return reply("503 5.5.1 Need MAIL before RCPT\r\n");
            ++m_recipients;
            return reply("250 2.1.5 Ok\r\n");
        }
        if (verbIs("DATA")) {
            if (m_recipients == 0) return reply("503 5.5.1 Need RCPT before DATA\r\n");
            m_inData = true;
            return reply("354 End data with <CR><LF>.<CR><LF>\r\n");
        }
        if (verbIs("RSET")) {
            m_haveMail = false;
            m_recipients = 0;
            return reply("250 2.0.0 Ok\r\n");
        }
        if (verbIs("NOOP")) return reply("250 2.0.0 Ok\r\n");
        if (verbIs("QUIT")) {
            reply("221 2.0.0 Bye\r\n");
            return false;
        }
        return reply("500 5.5.2 Command not recognized\r\n");
    }

    uint32_t m_start;
    uint32_t m_lifetimeMs;
    platform::SocketHandle m_s = platform::kInvalidSocket;
    std::string m_line;
    bool m_inData = false;
    bool m_haveMail = false;
    unsigned m_recipients = 0;
    unsigned long m_messages = 0;
};

bool numberArg(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    out = std::strtoul(text, &end, 10);
    return end != text && *end == 0 && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long port = 0, lifetimeS = 3600;
    for (int i = 1; i < argc; ++i) {
        bool ok = i + 1 < argc;
        if (ok && std::strcmp(argv[i], "--port") == 0)
            ok = numberArg(argv[++i], 65535, port);
        else if (ok && std::strcmp(argv[i], "--lifetime-s") == 0)
            ok = numberArg(argv[++i], 86400, lifetimeS);
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "usage: %s [--port N] [--lifetime-s N (at most 86400)]\n",
                         argv[0]);
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    platform::socketsStartup(0x0202);
    int err = 0;
    uint16_t bound = 0;
    platform::SocketHandle listener = platform::listenIPv4(
        platform::parseIPv4("127.0.0.1"), static_cast<uint16_t>(port), 4, bound, err);
    if (listener == platform::kInvalidSocket) {
        std::fprintf(stderr, "smtp-discard-server: cannot listen (error %d)\n", err);
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(bound));
    std::fflush(stdout);

    // The parent closing our stdin, or dying, is the signal to stop.
    std::thread([] {
        char buf[256];
        while (std::fread(buf, 1, sizeof buf, stdin) > 0) {
        }
        g_stdinClosed = true;
    }).detach();

    Server server(static_cast<uint32_t>(lifetimeS * 1000));
    while (!server.stopping()) {
        int r = platform::selectReadable(listener, kSliceMs, err);
        if (r < 0) break;
        if (r == 0) continue;
        platform::SocketHandle s = platform::acceptConnection(listener, err);
        if (s == platform::kInvalidSocket) continue;
        // Replies to pipelined commands go out one by one: without this the
        // second would wait for the acknowledgement of the first.
        platform::setNoDelay(s);
        server.serve(s);
    }
    platform::closeSocketHandle(listener);
    // The stdin reader may still be blocked in fread, holding the stream:
    // leave without the stdio clean-up that would wait for it.
    std::fflush(stdout);
    std::_Exit(0);
}
