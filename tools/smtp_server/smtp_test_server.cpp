#include "tools/smtp_server/smtp_test_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "crypto/md5.h"
#include "platform/clock.h"
#include "tools/smtp_server/tls_server.h"

namespace smtptest {
namespace {

// Waits are cut into slices of this length so that stop() is noticed soon.
const uint32_t kSliceMs = 50;
// A client line longer than this ends the connection.
const size_t kMaxLineBytes = 1024 * 1024;

uint32_t loopback() {
    return platform::parseIPv4("127.0.0.1");
}

bool listenLoopback(platform::SocketHandle& listener, uint16_t& port, bool ipv6 = false) {
    platform::socketsStartup(0x0202);
    int err = 0;
    if (ipv6) {
        platform::IpAddress any6;
        platform::parseIpAddress("::1", any6);
        listener = platform::listenOn(any6, 0, 16, port, err);
    } else {
        listener = platform::listenIPv4(loopback(), 0, 16, port, err);
    }
    return listener != platform::kInvalidSocket;
}

void sleepSliced(uint32_t ms, const std::atomic<bool>& stop) {
    uint32_t start = platform::tickCount();
    while (!stop.load() && platform::tickCount() - start < ms) {
        uint32_t left = ms - (platform::tickCount() - start);
        platform::sleepMs(left < kSliceMs ? left : kSliceMs);
    }
}

// Accepts one connection within timeoutMs; invalid on time-out or stop.
platform::SocketHandle acceptWithin(platform::SocketHandle listener, uint32_t timeoutMs,
                                    const std::atomic<bool>& stop) {
    uint32_t start = platform::tickCount();
    while (!stop.load()) {
        int err = 0;
        int r = platform::selectReadable(listener, kSliceMs, err);
        if (r == 1) return platform::acceptConnection(listener, err);
        if (r < 0) break;
        if (platform::tickCount() - start >= timeoutMs) break;
    }
    return platform::kInvalidSocket;
}

// One accepted connection with an input buffer.
class Link {
  public:
    enum Result { kOk, kTimeout, kClosed, kTooLong, kStopped, kTlsFailed };

    Link(platform::SocketHandle s, const std::atomic<bool>& stop) : m_s(s), m_stop(stop) {
        nonBlocking();
    }
    ~Link() { close(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Takes over another connection, dropping the current one; the new one
    // starts without TLS.
    void adopt(platform::SocketHandle s) {
        close();
        m_s = s;
        nonBlocking();
    }

    bool open() const { return m_s != platform::kInvalidSocket; }
    // Bytes read but not yet taken as a line.
    const std::string& pending() const { return m_in; }
    // Drops them (what a client sent in the clear before the handshake).
    void dropPending() { m_in.clear(); }

    // From here on the connection speaks TLS: the server handshake, within
    // timeoutMs. Anything but kOk leaves it without TLS, to be closed.
    Result startTls(const std::shared_ptr<TlsServerContext>& context, uint32_t timeoutMs,
                    std::string& error) {
        m_tls = std::make_unique<TlsConnection>(context, m_s);
        TlsConnection::Result r = m_tls->handshake(timeoutMs, m_stop, error);
        if (r == TlsConnection::kOk) return kOk;
        m_tls.reset();
        return r == TlsConnection::kTimeout   ? kTimeout
               : r == TlsConnection::kStopped ? kStopped
                                              : kTlsFailed;
    }
    bool tls() const { return m_tls != nullptr; }
    // close_notify; reads still go through TLS (the client's answer to it).
    void endTls() {
        if (m_tls) m_tls->close();
    }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty without TLS.
    std::string tlsDescription() const { return m_tls ? m_tls->description() : std::string(); }
    std::string tlsServerName() const { return m_tls ? m_tls->serverName() : std::string(); }
    // Why TLS ended a read or write, when it did.
    std::string tlsError() const { return m_tls ? m_tls->error() : std::string(); }

    bool send(const std::string& bytes) {
        if (m_tls) return m_tls->write(bytes, 10000, m_stop);
        size_t done = 0;
        uint32_t start = platform::tickCount();
        while (done < bytes.size()) {
            if (m_stop.load() || platform::tickCount() - start > 10000) return false;
            int err = 0;
            int r = platform::selectWritable(m_s, kSliceMs, err);
            if (r < 0) return false;
            if (r == 0) continue;
            long n = platform::sendSome(m_s, bytes.data() + done,
                                        static_cast<uint32_t>(bytes.size() - done), err);
            if (n < 0 && err == platform::wsa::kWouldBlock) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // A line without its CR LF (a bare LF also ends it).
    Result readLine(std::string& line, uint32_t timeoutMs) {
        for (;;) {
            size_t lf = m_in.find('\n');
            if (lf != std::string::npos) {
                line.assign(m_in, 0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                m_in.erase(0, lf + 1);
                return kOk;
            }
            if (m_in.size() > kMaxLineBytes) return kTooLong;
            Result r = fill(timeoutMs);
            if (r != kOk) return r;
        }
    }

    Result readBytes(size_t count, std::string& out, uint32_t timeoutMs) {
        while (m_in.size() < count) {
            Result r = fill(timeoutMs);
            if (r != kOk) {
                out = m_in;
                m_in.clear();
                return r;
            }
        }
        out.assign(m_in, 0, count);
        m_in.erase(0, count);
        return kOk;
    }

    // Unread input goes with the connection.
    void close() {
        m_in.clear();
        if (m_tls) {
            m_tls->close();
            m_tls.reset();
        }
        if (m_s == platform::kInvalidSocket) return;
        platform::shutdownBoth(m_s);
        platform::closeSocketHandle(m_s);
        m_s = platform::kInvalidSocket;
    }

    void reset() {
        m_in.clear();
        m_tls.reset();
        if (m_s == platform::kInvalidSocket) return;
        platform::setAbortiveClose(m_s);
        platform::closeSocketHandle(m_s);
        m_s = platform::kInvalidSocket;
    }

  private:
    // One read of whatever arrives within timeoutMs.
    Result fill(uint32_t timeoutMs) {
        if (m_tls) {
            TlsConnection::Result r = m_tls->read(m_in, timeoutMs, m_stop);
            return r == TlsConnection::kOk        ? kOk
                   : r == TlsConnection::kTimeout ? kTimeout
                   : r == TlsConnection::kStopped ? kStopped
                                                  : kClosed;
        }
        uint32_t start = platform::tickCount();
        for (;;) {
            if (m_stop.load()) return kStopped;
            int err = 0;
            int r = platform::selectReadable(m_s, kSliceMs, err);
            if (r < 0) return kClosed;
            if (r == 1) break;
            if (platform::tickCount() - start >= timeoutMs) return kTimeout;
        }
        char buf[16384];
        int err = 0;
        long n = platform::recvSome(m_s, buf, sizeof buf, err);
        if (n < 0 && err == platform::wsa::kWouldBlock) return kOk;
        if (n <= 0) return kClosed;
        m_in.append(buf, static_cast<size_t>(n));
        return kOk;
    }

    // A send or read never blocks: each is bounded by its own time limit
    // even when the client neither reads nor closes.
    void nonBlocking() {
        int err = 0;
        if (m_s != platform::kInvalidSocket) platform::setNonBlocking(m_s, true, err);
    }

    platform::SocketHandle m_s;
    const std::atomic<bool>& m_stop;
    std::string m_in;
    std::unique_ptr<TlsConnection> m_tls;
};

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = strlen(prefix);
    return s.size() >= n && upper(s.substr(0, n)) == prefix;
}

// The text between "<" and ">" after the colon of MAIL FROM / RCPT TO.
bool pathOf(const std::string& line, std::string& out) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    size_t lt = line.find('<', colon);
    size_t gt = line.find('>', lt == std::string::npos ? colon : lt);
    if (lt == std::string::npos || gt == std::string::npos) return false;
    out = line.substr(lt + 1, gt - lt - 1);
    return true;
}

std::string hexOf(const unsigned char* p, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

}  // namespace

// ---------------------------------------------------------------- base64

std::string base64Encode(const std::string& bytes) {
    static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += rest == 2 ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64Decode(const std::string& text, std::string& out) {
    out.clear();
    if (text.size() % 4) return false;
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=' && i + 2 >= text.size()) {
            ++pad;
            continue;
        } else
            return false;
        if (pad) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return true;
}

// ---------------------------------------------------------------- capture server

class CaptureSession {
  public:
    CaptureSession(CaptureServer& server, Link& link, int number)
        : m_server(server), m_opt(server.m_options), m_link(link), m_number(number) {}

    void run() {
        if (m_opt.tls == CaptureOptions::Tls::Implicit && !startTls()) return;
        if (!reply("220 " + m_opt.hostName + " ESMTP capture server ready")) return;
        std::string line;
        while (m_link.readLine(line, m_opt.idleTimeoutMs) == Link::kOk) {
            note("C: " + line);
            if (!command(line)) return;
        }
    }

  private:
    bool reply(const std::string& text) {
        note("S: " + text);
        return m_link.send(text + "\r\n");
    }

    void note(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_server.m_mutex);
        m_server.m_transcript += text;
        m_server.m_transcript += '\n';
    }

    bool readClientLine(std::string& line) {
        if (m_link.readLine(line, m_opt.idleTimeoutMs) != Link::kOk) return false;
        note("C: " + line);
        return true;
    }

    bool authOffered() const { return !m_opt.username.empty(); }
    bool authAllowedNow() const { return !m_opt.requireTlsForAuth || m_link.tls(); }

    // The server handshake; false ends the connection.
    bool startTls() {
        std::string error;
        if (!m_server.m_tls) {
            note("S: <no TLS: " + m_server.m_startError + ">");
            return false;
        }
        if (m_link.startTls(m_server.m_tls, m_opt.idleTimeoutMs, error) != Link::kOk) {
            note("S: <" + error + ">");
            return false;
        }
        note("S: <" + m_link.tlsDescription() + ">");
        return true;
    }

    bool starttls(const std::string& line) {
        if (m_link.tls()) return reply("503 5.5.1 Error: TLS already active");
        if (line.size() > 8) return reply("501 5.5.4 Syntax: STARTTLS");
        // What came after the command in the clear is not the client's
        // (RFC 3207, 6): it must not be taken as a command under TLS.
        if (!m_link.pending().empty()) {
            note("C: <" + std::to_string(m_link.pending().size()) +
                 " bytes after STARTTLS, dropped>");
            m_link.dropPending();
        }
        if (!reply("220 2.0.0 Ready to start TLS")) return false;
        if (!startTls()) return false;
        // The client learns everything anew under TLS (RFC 3207, 4.2).
        m_greeted = false;
        m_inTransaction = false;
        m_mailFrom.clear();
        m_recipients.clear();
        m_user.clear();
        return true;
    }

    // False ends the connection.
    bool command(const std::string& line) {
        std::string verb = upper(line.substr(0, line.find(' ')));
        if (verb == "EHLO") {
            m_greeted = true;
            m_mailFrom.clear();
            m_recipients.clear();
            m_inTransaction = false;
            reply("250-" + m_opt.hostName + " greets " +
                  line.substr(std::min(line.size(), size_t(5))));
            if (m_opt.tls == CaptureOptions::Tls::StartTls && !m_link.tls()) reply("250-STARTTLS");
            if (authOffered() && authAllowedNow()) {
                std::string mechs;
                if (m_opt.offerLogin) mechs += " LOGIN";
                if (m_opt.offerPlain) mechs += " PLAIN";
                if (m_opt.offerCramMd5) mechs += " CRAM-MD5";
                if (!mechs.empty()) reply("250-AUTH" + mechs);
            }
            reply("250-8BITMIME");
            return reply("250 SIZE " + std::to_string(m_opt.maxMessageBytes));
        }
        if (verb == "HELO") {
            m_greeted = true;
            return reply("250 " + m_opt.hostName);
        }
        if (verb == "AUTH") return auth(line);
        if (verb == "STARTTLS" && m_opt.tls != CaptureOptions::Tls::Off) return starttls(line);
        if (verb == "MAIL") {
            if (!m_greeted) return reply("503 5.5.1 Send EHLO or HELO first");
            if (m_opt.requireAuth && m_user.empty())
                return reply("530 5.7.0 Authentication required");
            if (m_inTransaction) return reply("503 5.5.1 Nested MAIL command");
            if (!startsWithNoCase(line, "MAIL FROM:") || !pathOf(line, m_mailFrom))
                return reply("501 5.5.4 Syntax: MAIL FROM:<address>");
            m_inTransaction = true;
            return reply("250 2.1.0 Ok");
        }
        if (verb == "RCPT") {
            if (!m_inTransaction) return reply("503 5.5.1 Need MAIL before RCPT");
            std::string to;
            if (!startsWithNoCase(line, "RCPT TO:") || !pathOf(line, to))
                return reply("501 5.5.4 Syntax: RCPT TO:<address>");
            for (const std::string& bad : m_opt.rejectRecipients)
                if (bad == to) return reply("550 5.1.1 <" + to + ">: Recipient address rejected");
            m_recipients.push_back(to);
            return reply("250 2.1.5 Ok");
        }
        if (verb == "DATA") return data();
        if (verb == "RSET") {
            m_mailFrom.clear();
            m_recipients.clear();
            m_inTransaction = false;
            return reply("250 2.0.0 Ok");
        }
        if (verb == "NOOP") return reply("250 2.0.0 Ok");
        if (verb == "QUIT") {
            reply("221 2.0.0 Bye");
            return false;
        }
        return reply("500 5.5.2 Error: command not recognized");
    }

    bool data() {
        if (!m_inTransaction || m_recipients.empty())
            return reply("503 5.5.1 Need RCPT before DATA");
        if (!reply("354 End data with <CR><LF>.<CR><LF>")) return false;
        std::string text, line;
        bool tooBig = false;
        for (;;) {
            if (m_link.readLine(line, m_opt.idleTimeoutMs) != Link::kOk) return false;
            if (line == ".") break;
            // Dot-unstuffing: a leading dot was doubled by the client.
            if (!line.empty() && line[0] == '.') line.erase(0, 1);
            if (text.size() + line.size() + 2 > m_opt.maxMessageBytes) tooBig = true;
            if (!tooBig) {
                text += line;
                text += "\r\n";
            }
        }
        note("C: <" + std::to_string(text.size()) + " bytes of message text>");
        if (tooBig) {
            m_inTransaction = false;
            m_recipients.clear();
            return reply("552 5.3.4 Message too big");
        }
        CapturedMessage m;
        m.mailFrom = m_mailFrom;
        m.recipients = m_recipients;
        m.data = text;
        m.authUser = m_user;
        m.connection = m_number;
        m.tls = m_link.tlsDescription();
        {
            std::lock_guard<std::mutex> lock(m_server.m_mutex);
            m_server.m_messages.push_back(m);
        }
        m_inTransaction = false;
        m_recipients.clear();
        return reply("250 2.0.0 Ok: queued");
    }

    bool loginResult(bool ok, const std::string& user) {
        if (ok) {
            m_user = user;
            ++m_server.m_logins;
            return reply("235 2.7.0 Authentication successful");
        }
        ++m_server.m_failedLogins;
        return reply("535 5.7.8 Authentication credentials invalid");
    }

    bool auth(const std::string& line) {
        if (!authOffered()) return reply("502 5.5.1 AUTH not supported");
        if (!authAllowedNow()) return reply("530 5.7.0 Must issue a STARTTLS command first");
        if (!m_user.empty()) return reply("503 5.5.1 Already authenticated");
        std::string rest = line.size() > 5 ? line.substr(5) : "";
        std::string mech = upper(rest.substr(0, rest.find(' ')));
        std::string initial =
            rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1);
        std::string answer, decoded;
        if (mech == "LOGIN" && m_opt.offerLogin) {
            std::string user, pass;
            if (initial.empty()) {
                if (!reply("334 VXNlcm5hbWU6") || !readClientLine(answer)) return false;
            } else {
                answer = initial;
            }
            if (answer == "*") return reply("501 5.7.0 Authentication cancelled");
            if (!base64Decode(answer, user)) return reply("501 5.5.2 Cannot decode response");
            if (!reply("334 UGFzc3dvcmQ6") || !readClientLine(answer)) return false;
            if (answer == "*") return reply("501 5.7.0 Authentication cancelled");
            if (!base64Decode(answer, pass)) return reply("501 5.5.2 Cannot decode response");
            return loginResult(user == m_opt.username && pass == m_opt.password, user);
        }
        if (mech == "PLAIN" && m_opt.offerPlain) {
            if (initial.empty()) {
                if (!reply("334 ") || !readClientLine(initial)) return false;
            }
            if (initial == "*") return reply("501 5.7.0 Authentication cancelled");
            if (!base64Decode(initial, decoded)) return reply("501 5.5.2 Cannot decode response");
            size_t a = decoded.find('\0');
            size_t b = a == std::string::npos ? a : decoded.find('\0', a + 1);
            if (b == std::string::npos) return reply("501 5.5.2 Cannot decode response");
            std::string authz = decoded.substr(0, a), user = decoded.substr(a + 1, b - a - 1);
            std::string pass = decoded.substr(b + 1);
            bool ok = (authz.empty() || authz == user) && user == m_opt.username &&
                      pass == m_opt.password;
            return loginResult(ok, user);
        }
        if (mech == "CRAM-MD5" && m_opt.offerCramMd5) {
            std::string challenge = m_opt.cramChallenge;
            if (challenge.empty())
                challenge = "<" + std::to_string(platform::tickCount()) + "." +
                            std::to_string(m_number) + "@" + m_opt.hostName + ">";
            if (!reply("334 " + base64Encode(challenge)) || !readClientLine(answer)) return false;
            if (answer == "*") return reply("501 5.7.0 Authentication cancelled");
            if (!base64Decode(answer, decoded)) return reply("501 5.5.2 Cannot decode response");
            size_t sp = decoded.rfind(' ');
            if (sp == std::string::npos) return loginResult(false, "");
            unsigned char mac[Md5::kDigestSize];
            hmacMd5(m_opt.password.data(), m_opt.password.size(), challenge.data(),
                    challenge.size(), mac);
            std::string user = decoded.substr(0, sp);
            return loginResult(
                user == m_opt.username && decoded.substr(sp + 1) == hexOf(mac, sizeof mac), user);
        }
        return reply("504 5.5.4 Unrecognized authentication type");
    }

    CaptureServer& m_server;
    const CaptureOptions& m_opt;
    Link& m_link;
    int m_number;
    bool m_greeted = false;
    bool m_inTransaction = false;
    std::string m_mailFrom;
    std::vector<std::string> m_recipients;
    std::string m_user;
};

CaptureServer::CaptureServer(CaptureOptions options) : m_options(std::move(options)) {}

CaptureServer::~CaptureServer() {
    stop();
}

bool CaptureServer::start() {
    if (m_thread.joinable()) return true;
    if (m_options.tls != CaptureOptions::Tls::Off && !m_tls) {
        m_tls = TlsServerContext::create(m_options.tlsCertFile, m_options.tlsKeyFile, m_startError);
        if (!m_tls) return false;
    }
    if (!listenLoopback(m_listener, m_port)) {
        m_startError = "cannot listen on 127.0.0.1";
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void CaptureServer::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != platform::kInvalidSocket) {
        platform::closeSocketHandle(m_listener);
        m_listener = platform::kInvalidSocket;
    }
}

void CaptureServer::run() {
    while (!m_stop.load()) {
        platform::SocketHandle s = acceptWithin(m_listener, 1000, m_stop);
        if (s == platform::kInvalidSocket) continue;
        // Its multi-line replies go a line per write: without this the last
        // line waits for the client's delayed acknowledgement (40 ms).
        platform::setNoDelay(s);
        serve(s, ++m_connections);
    }
}

void CaptureServer::serve(platform::SocketHandle conn, int number) {
    Link link(conn, m_stop);
    CaptureSession session(*this, link, number);
    session.run();
}

std::vector<CapturedMessage> CaptureServer::messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::string CaptureServer::transcript() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transcript;
}

bool CaptureServer::waitForMessages(size_t n, uint32_t timeoutMs) const {
    uint32_t start = platform::tickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_messages.size() >= n) return true;
        }
        if (platform::tickCount() - start >= timeoutMs) return false;
        platform::sleepMs(10);
    }
}

// ---------------------------------------------------------------- fault script

FaultScript& FaultScript::acceptNext() {
    FaultStep s;
    s.kind = FaultStep::Kind::Accept;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::expect(const std::string& prefix) {
    FaultStep s;
    s.kind = FaultStep::Kind::Expect;
    s.text = prefix;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::expectBytes(size_t count) {
    FaultStep s;
    s.kind = FaultStep::Kind::ExpectBytes;
    s.count = count;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::send(const std::string& bytes) {
    return sendSplit({bytes}, 0);
}

FaultScript& FaultScript::sendIfOpen(const std::string& bytes) {
    sendSplit({bytes}, 0);
    m_steps.back().mayFail = true;
    return *this;
}

FaultScript& FaultScript::sendSplit(const std::vector<std::string>& pieces, uint32_t pauseMs) {
    FaultStep s;
    s.kind = FaultStep::Kind::Send;
    s.chunks = pieces;
    s.pauseMs = pauseMs;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::silence(uint32_t ms) {
    FaultStep s;
    s.kind = FaultStep::Kind::Silence;
    s.pauseMs = ms;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::close() {
    FaultStep s;
    s.kind = FaultStep::Kind::Close;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::reset() {
    FaultStep s;
    s.kind = FaultStep::Kind::Reset;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::hugeLine(size_t bytes) {
    FaultStep s;
    s.kind = FaultStep::Kind::HugeLine;
    s.count = bytes;
    m_steps.push_back(s);
    return *this;
}

namespace {

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'x' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
            continue;
        }
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

bool number(const std::string& s, size_t& out) {
    if (s.empty() || s.size() > 12) return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<size_t>(c - '0');
    }
    return true;
}

}  // namespace

FaultScript& FaultScript::expectMessage() {
    FaultStep s;
    s.kind = FaultStep::Kind::Message;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::expectClose() {
    FaultStep s;
    s.kind = FaultStep::Kind::ExpectClose;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::startTls(bool clientMayAbort) {
    FaultStep s;
    s.kind = FaultStep::Kind::StartTls;
    s.mayFail = clientMayAbort;
    m_steps.push_back(s);
    return *this;
}

FaultScript& FaultScript::endTls() {
    FaultStep s;
    s.kind = FaultStep::Kind::EndTls;
    m_steps.push_back(s);
    return *this;
}

bool FaultScript::parse(const std::string& text, FaultScript& out, std::string& error) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        line.erase(0, first);
        size_t n = 0;
        if (line.rfind("C: ", 0) == 0) {
            out.expect(unescape(line.substr(3)));
        } else if (line.rfind("S: ", 0) == 0) {
            out.send(unescape(line.substr(3)) + "\r\n");
        } else if (line.rfind("S+: ", 0) == 0) {
            out.send(unescape(line.substr(4)));
        } else if (line.rfind("S?: ", 0) == 0) {
            out.sendIfOpen(unescape(line.substr(4)) + "\r\n");
        } else if (line.rfind("S?+: ", 0) == 0) {
            out.sendIfOpen(unescape(line.substr(5)));
        } else if (line.rfind("SPLIT ", 0) == 0 && line.find(": ") != std::string::npos &&
                   number(line.substr(6, line.find(": ") - 6), n)) {
            std::vector<std::string> pieces;
            std::string rest = line.substr(line.find(": ") + 2), piece;
            for (size_t i = 0; i < rest.size(); ++i) {
                if (rest[i] == '\\' && i + 1 < rest.size()) {
                    piece += rest[i];
                    piece += rest[++i];
                } else if (rest[i] == '|') {
                    pieces.push_back(unescape(piece));
                    piece.clear();
                } else {
                    piece += rest[i];
                }
            }
            pieces.push_back(unescape(piece));
            out.sendSplit(pieces, static_cast<uint32_t>(n));
        } else if (line.rfind("BYTES ", 0) == 0 && number(line.substr(6), n)) {
            out.expectBytes(n);
        } else if (line.rfind("SILENT ", 0) == 0 && number(line.substr(7), n)) {
            out.silence(static_cast<uint32_t>(n));
        } else if (line.rfind("HUGE ", 0) == 0 && number(line.substr(5), n)) {
            out.hugeLine(n);
        } else if (line == "CLOSE") {
            out.close();
        } else if (line == "RESET") {
            out.reset();
        } else if (line == "ACCEPT") {
            out.acceptNext();
        } else if (line == "MESSAGE") {
            out.expectMessage();
        } else if (line == "CLOSED") {
            out.expectClose();
        } else if (line == "TLS-END") {
            out.endTls();
        } else if (line == "TLS" || line == "TLS?") {
            out.startTls(line == "TLS?");
        } else {
            error = line;
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- fault server

FaultServer::FaultServer(FaultScript script, uint32_t ioTimeoutMs)
    : m_script(std::move(script)), m_ioTimeoutMs(ioTimeoutMs) {}

void FaultServer::setTlsFiles(const std::string& certPem, const std::string& keyPem) {
    m_tlsCertFile = certPem;
    m_tlsKeyFile = keyPem;
}

FaultServer::~FaultServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != platform::kInvalidSocket) platform::closeSocketHandle(m_listener);
}

bool FaultServer::start() {
    if (m_thread.joinable()) return true;
    if (!listenLoopback(m_listener, m_port, m_ipv6)) return false;
    m_thread = std::thread([this] { run(); });
    return true;
}

bool FaultServer::finish(uint32_t timeoutMs) {
    uint32_t start = platform::tickCount();
    while (!m_done.load() && platform::tickCount() - start < timeoutMs) platform::sleepMs(10);
    if (!m_done.load()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure.empty()) m_failure = "script still running after the wait";
    }
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    return failure().empty();
}

std::string FaultServer::failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

std::vector<std::string> FaultServer::received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<std::string> FaultServer::tlsSessions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tlsSessions;
}

std::vector<std::string> FaultServer::tlsServerNames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tlsServerNames;
}

void FaultServer::run() {
    auto fail = [this](const std::string& why) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure.empty()) m_failure = why;
    };
    auto record = [this](const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.push_back(what);
    };

    Link link(acceptWithin(m_listener, m_ioTimeoutMs, m_stop), m_stop);
    auto describe = [&link](Link::Result r) -> std::string {
        switch (r) {
            case Link::kClosed:
                // Under TLS, say how: close_notify, a bare end or a TLS error.
                if (link.tls() && !link.tlsError().empty())
                    return "the connection closed (" + link.tlsError() + ")";
                return "the connection closed";
            case Link::kTimeout:
                return "nothing within the time-out";
            case Link::kTooLong:
                return "an over-long line";
            case Link::kStopped:
                return "a stop";
            case Link::kTlsFailed:
                return "a TLS failure";
            default:
                return "?";
        }
    };
    if (!link.open()) {
        fail("no connection arrived");
        m_done = true;
        return;
    }
    // Made at the first TLS step: a plain script never pays for it.
    std::shared_ptr<TlsServerContext> tls;
    for (size_t i = 0; i < m_script.steps().size() && !m_stop.load(); ++i) {
        const FaultStep& step = m_script.steps()[i];
        std::string step_no = "step " + std::to_string(i + 1) + ": ";
        if (step.kind == FaultStep::Kind::Accept) {
            link.adopt(acceptWithin(m_listener, m_ioTimeoutMs, m_stop));
            if (!link.open()) {
                fail(step_no + "no further connection arrived");
                break;
            }
        } else if (step.kind == FaultStep::Kind::Expect) {
            std::string line;
            Link::Result r = link.readLine(line, m_ioTimeoutMs);
            if (r != Link::kOk) {
                fail(step_no + "expected \"" + step.text + "\", got " + describe(r));
                break;
            }
            record(line);
            if (line.compare(0, step.text.size(), step.text) != 0) {
                fail(step_no + "expected \"" + step.text + "\", got \"" + line.substr(0, 200) +
                     "\"");
                break;
            }
        } else if (step.kind == FaultStep::Kind::ExpectBytes) {
            std::string bytes;
            Link::Result r = link.readBytes(step.count, bytes, m_ioTimeoutMs);
            record(bytes);
            if (r != Link::kOk) {
                fail(step_no + "expected " + std::to_string(step.count) + " bytes, got " +
                     std::to_string(bytes.size()) + " and " + describe(r));
                break;
            }
        } else if (step.kind == FaultStep::Kind::Send) {
            bool ok = true;
            for (size_t c = 0; c < step.chunks.size() && ok; ++c) {
                if (c > 0) sleepSliced(step.pauseMs, m_stop);
                ok = link.send(step.chunks[c]);
            }
            if (!ok && !step.mayFail) {
                fail(step_no + "could not send");
                break;
            }
        } else if (step.kind == FaultStep::Kind::Silence) {
            sleepSliced(step.pauseMs, m_stop);
        } else if (step.kind == FaultStep::Kind::Close) {
            link.close();
        } else if (step.kind == FaultStep::Kind::Reset) {
            link.reset();
        } else if (step.kind == FaultStep::Kind::Message) {
            // Line ends are restored as CR LF; the text stays dot-stuffed.
            std::string text, line;
            Link::Result r = Link::kOk;
            size_t total = 0;
            while ((r = link.readLine(line, m_ioTimeoutMs)) == Link::kOk && line != ".") {
                text += line + "\r\n";
                total += line.size();
                if (total > 64u * 1024 * 1024) {
                    r = Link::kTooLong;
                    break;
                }
            }
            record(text);
            if (r != Link::kOk) {
                fail(step_no + "expected the message text, got " + describe(r));
                break;
            }
        } else if (step.kind == FaultStep::Kind::ExpectClose) {
            // A connection this side closed or reset already counts as closed.
            std::string line;
            const Link::Result r = link.readLine(line, m_ioTimeoutMs);
            if (r != Link::kOk && r != Link::kTimeout) line = link.pending();
            const bool sentMore = r == Link::kOk || !line.empty();
            if (sentMore) record(line);
            if (sentMore || r == Link::kTimeout) {
                fail(step_no + "expected the client to close, got " +
                     (sentMore ? "\"" + line.substr(0, 200) + "\"" : describe(r)));
                break;
            }
            link.close();
        } else if (step.kind == FaultStep::Kind::StartTls) {
            // Nothing may come between the client's STARTTLS and its
            // handshake: bytes read in the clear here would pass for ones
            // sent under TLS at a careless server.
            if (!link.pending().empty()) {
                record(link.pending());
                fail(step_no + "the client sent \"" + link.pending().substr(0, 200) +
                     "\" in the clear before the TLS handshake");
                break;
            }
            std::string error;
            if (!tls) tls = TlsServerContext::create(m_tlsCertFile, m_tlsKeyFile, error);
            if (!tls) {
                fail(step_no + error);
                break;
            }
            const Link::Result r = link.startTls(tls, m_ioTimeoutMs, error);
            if (r == Link::kOk) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_tlsSessions.push_back(link.tlsDescription());
                m_tlsServerNames.push_back(link.tlsServerName());
                continue;
            }
            // The client refused the handshake, as this script allows: the
            // conversation ends here.
            if (step.mayFail && r == Link::kTlsFailed) break;
            fail(step_no + error);
            break;
        } else if (step.kind == FaultStep::Kind::EndTls) {
            if (!link.tls()) {
                fail(step_no + "no TLS session to end");
                break;
            }
            link.endTls();
        } else if (step.kind == FaultStep::Kind::HugeLine) {
            std::string chunk(65536, 'x');
            size_t left = step.count;
            bool ok = true;
            while (left > 0 && ok) {
                size_t n = left < chunk.size() ? left : chunk.size();
                ok = link.send(chunk.substr(0, n));
                left -= n;
            }
            // The client may give up and close before everything is written.
            (void)ok;
        }
    }
    link.close();
    m_done = true;
}

}  // namespace smtptest
