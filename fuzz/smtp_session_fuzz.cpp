// The SMTP client's reply collector and EHLO capability parsing, over a
// real connection to a server on 127.0.0.1 that plays the input.
// Input: a flag byte (bit 0: log in as "fuzz@example.org"; bit 1: send a
// message after the set-up, else NOOP), then what the server says: up to
// the first empty line on the first connection, the rest on any later one
// (the client reconnects for HELO when its EHLO reply was unreadable).
// The server writes everything at once and then ends its side, so the
// client never waits for a time-out: each run takes milliseconds.
// Oracle: no crash, out-of-bounds read, undefined behaviour or hang; and
// the client agrees with a model of the reply stream built on the pure
// parsers (lines split at CR LF, smtpreply::classify, one
// SmtpCapabilities fed the EHLO lines):
//   - the set-up succeeds only after a complete 220 greeting;
//   - after a complete 220 greeting and a complete EHLO reply of 250
//     lines, the connection knows every extension keyword the model noted
//     and, when it logs in, exactly the model's AUTH mechanisms (none
//     without a login); and when none of them is one the client logs in
//     with, the set-up succeeds.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/log_base.h"
#include "fuzz/fuzz_support.h"
#include "mail/smtp_capabilities.h"
#include "mail/smtp_conn_impl.h"
#include "mail/smtp_conn_test_access.h"
#include "mail/smtp_reply.h"
#include "mime/email2.h"
#include "platform/sockets.h"
#include "text/xstring.h"

namespace {

int g_listener = -1;
uint16_t g_port = 0;
int g_wake[2] = {-1, -1};  // the client is done: the server stops
constexpr int kServerWaitMs = 5000;

// The AUTH mechanisms as one bit set, to compare with the model's.
uint32_t mechanismsOf(const SmtpCapabilities& caps) {
    uint32_t all = 0;
    for (uint32_t bit = 1; bit; bit <<= 1)
        if (caps.has(static_cast<SmtpCapabilities::Mechanism>(bit))) all |= bit;
    return all;
}

// No name lookup may leave the machine: every name is this one.
bool localResolver(const char*, platform::HostEntry& out) {
    out.addresses = {platform::IpAddress::v4(htonl(INADDR_LOOPBACK))};
    out.officialName = "fuzz.localhost";
    return true;
}

// 1 when fd is readable, 0 when the client is done or the wait ran out.
int waitReadable(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    if (poll(p, 2, kServerWaitMs) <= 0) return 0;
    if (p[1].revents) return 0;
    return 1;
}

void sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, kServerWaitMs) <= 0) return;
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Serves connections until the client is done: each gets its script at
// once, then the end of the server's side; what the client sends is read
// and dropped until it closes.
void serve(const std::string& first, const std::string& later) {
    for (int number = 0;; ++number) {
        if (!waitReadable(g_listener)) return;
        const int conn = accept(g_listener, nullptr, nullptr);
        if (conn < 0) return;
        sendAll(conn, number == 0 ? first : later);
        shutdown(conn, SHUT_WR);
        char sink[4096];
        while (waitReadable(conn) && recv(conn, sink, sizeof sink, 0) > 0) {
        }
        close(conn);
    }
}

// ---- the model

struct Reply {
    bool complete = false;
    int code = -2;
    std::vector<StringBuffer> lines;
};

// The next reply from pos: lines up to a final one.
Reply nextReply(const std::string& s, size_t& pos) {
    Reply r;
    for (;;) {
        const size_t end = s.find("\r\n", pos);
        if (end == std::string::npos) return r;
        std::string line = s.substr(pos, end + 2 - pos);
        pos = end + 2;
        for (char& c : line)
            if (c == '\0') c = ' ';  // as the connection delivers them
        StringBuffer sb;
        sb.append(line.data(), static_cast<uint32_t>(line.size()));
        int code = -2;
        const smtpreply::LineKind kind = smtpreply::classify(sb, code);
        if (kind == smtpreply::LineKind::Unrecognized) return r;
        r.lines.push_back(sb);
        if (kind == smtpreply::LineKind::Final) {
            r.complete = true;
            r.code = code;
            return r;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    signal(SIGPIPE, SIG_IGN);
    platform::setResolverForTesting(localResolver);
    g_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (g_listener < 0 || bind(g_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(g_listener, 8) != 0 ||
        getsockname(g_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("smtp_session_fuzz: loopback listener");
        std::abort();
    }
    g_port = ntohs(addr.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 64 * 1024) return 0;
    const bool login = data[0] & 1;
    const bool sendMessage = data[0] & 2;
    const std::string script(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = script.find("\r\n\r\n");
    const std::string first = split == std::string::npos ? script : script.substr(0, split + 2);
    const std::string later = split == std::string::npos ? std::string() : script.substr(split + 4);

    std::thread server(serve, first, later);
    bool connected = false;
    uint32_t mechanisms = 0;
    {
        SmtpConnImpl conn;
        // The model knows no STARTTLS: an EHLO that offers it must not
        // start a handshake with the input (its own tests cover that).
        SessionOptions plain;
        plain.tls.mode = TlsPolicy::Mode::Off;
        conn.setSessionOptions(plain);
        XString user, password;
        if (login) {
            user.setFromUtf8("fuzz@example.org");
            password.setFromUtf8("secret");
        }
        LogNull log;
        bool timedOut = false;
        connected = conn.smtpConnect("127.0.0.1", g_port, user, password, std::chrono::seconds(5),
                                     std::chrono::milliseconds(2000), log, timedOut);
        mechanisms = mechanismsOf(conn.capabilities());
        if (connected && sendMessage) {
            std::unique_ptr<Email2> email = Email2::createNewEmail();
            email->addTo("Ann", "ann@example.org");
            email->addCc("", "bob@example.org");
            email->setBody("hello\r\n.\r\n", 10, false);
            StringBuffer from("fuzz@example.org");
            int accepted = 0, total = 0;
            conn.sendEmail(email.get(), from, log, accepted, total, timedOut);
        } else if (connected) {
            SmtpConnImplTestAccess::exchange(conn, smtpcmd::noop(), 250, log);
        }
        // The model, compared while the connection still exists.
        size_t pos = 0;
        const Reply greeting = nextReply(first, pos);
        const Reply ehlo = nextReply(first, pos);
        const bool greeted = greeting.complete && greeting.code == 220;
        FUZZ_CHECK(!connected || greeted, "set-up succeeded without a 220 greeting");
        bool every250 = ehlo.complete;
        for (const StringBuffer& l : ehlo.lines) {
            int code = -2;
            smtpreply::parseCode(l, code);
            every250 = every250 && code == 250;
        }
        if (greeted && every250) {
            SmtpCapabilities model;
            for (size_t i = 0; i < ehlo.lines.size(); ++i)
                model.noteEhloLine(ehlo.lines[i], i == 0);
            // Without a login the client forces "no mechanism".
            FUZZ_CHECK(mechanisms == (login ? mechanismsOf(model) : 0u),
                       "the connection's AUTH mechanisms differ from its EHLO reply's");
            for (size_t i = 1; i < ehlo.lines.size(); ++i) {
                // The keyword as noteEhloLine reads it: text up to a blank or "=".
                const char* t = ehlo.lines[i].getString() + 4;
                const uint32_t n = smtpreply::bodyLength(ehlo.lines[i]);
                std::string word;
                for (uint32_t k = 4; k < n && *t != ' ' && *t != '='; ++k) word += *t++;
                if (n >= 5)
                    FUZZ_CHECK(conn.capabilities().offers(word.c_str()),
                               "an extension of the EHLO reply is not known to the connection");
            }
            const uint32_t spoken = SmtpCapabilities::kLogin | SmtpCapabilities::kPlain |
                                    SmtpCapabilities::kCramMd5 | SmtpCapabilities::kNtlm |
                                    SmtpCapabilities::kMsn;
            if (!(mechanismsOf(model) & spoken))
                FUZZ_CHECK(connected, "set-up failed after a good greeting and EHLO reply");
        }
    }
    // The connection is closed: the server's last read ends; wake it in
    // case it still waits for a connection.
    const char one = 1;
    (void)!write(g_wake[1], &one, 1);
    server.join();
    char drain[16];
    while (read(g_wake[0], drain, sizeof drain) > 0) {
    }
    return 0;
}
