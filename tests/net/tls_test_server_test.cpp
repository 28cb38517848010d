// The test servers' TLS side (tools/smtp_server/tls_server.h), checked with
// clients that are not ours: Python's ssl and smtplib, and openssl s_client.
// What they report of the session (version, cipher, certificate) must agree
// with what the servers recorded. The Windows build has no TLS in its
// servers: there the TLS step and option must fail with a clear reason.
// Compiled only into a test program that links the servers (their library
// defines SMTP_HAVE_TEST_SERVERS for it).
#ifdef SMTP_HAVE_TEST_SERVERS
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/sockets.h"
#include "tools/smtp_server/smtp_test_server.h"
#include "tools/smtp_server/tls_server.h"

#ifndef _WIN32
#include "integration/command.h"
#include "support/scratch.h"
#endif

using smtptest::CaptureOptions;
using smtptest::CaptureServer;
using smtptest::FaultScript;
using smtptest::FaultServer;
using smtptest::FaultStep;

namespace {

FaultScript script(const std::string& text) {
    FaultScript s;
    std::string error;
    EXPECT_TRUE(FaultScript::parse(text, s, error)) << error;
    return s;
}

TEST(TlsTestServer, ScriptTextFormsOfTheTlsStep) {
    FaultScript s = script("C: STARTTLS\nS: 220 go ahead\nTLS\nTLS?\n");
    ASSERT_EQ(s.steps().size(), 4u);
    EXPECT_EQ(s.steps()[2].kind, FaultStep::Kind::StartTls);
    EXPECT_FALSE(s.steps()[2].mayFail);
    EXPECT_EQ(s.steps()[3].kind, FaultStep::Kind::StartTls);
    EXPECT_TRUE(s.steps()[3].mayFail);
    FaultScript built;
    built.startTls().startTls(true);
    ASSERT_EQ(built.steps().size(), 2u);
    EXPECT_FALSE(built.steps()[0].mayFail);
    EXPECT_TRUE(built.steps()[1].mayFail);

    FaultScript bad;
    std::string error;
    EXPECT_FALSE(FaultScript::parse("TLS!\n", bad, error));
    EXPECT_EQ(error, "TLS!");
}

#ifdef _WIN32

TEST(TlsTestServer, NoTlsInThisBuild) {
    EXPECT_FALSE(smtptest::tlsAvailable());
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::StartTls;
    CaptureServer capture(o);
    EXPECT_FALSE(capture.start());
    EXPECT_EQ(capture.startError(), smtptest::kNoTlsInBuild);

    FaultServer server(script("S: 220 hi\nTLS\n"), 3000);
    ASSERT_TRUE(server.start());
    int err = 0;
    platform::SocketHandle s = platform::openTcpSocket(err);
    ASSERT_NE(s, platform::kInvalidSocket);
    ASSERT_TRUE(platform::connectIPv4(s, platform::parseIPv4("127.0.0.1"), server.port(), err));
    EXPECT_FALSE(server.finish());
    EXPECT_NE(server.failure().find(smtptest::kNoTlsInBuild), std::string::npos)
        << server.failure();
    platform::closeSocketHandle(s);
}

#else

using smtp_integration::runCommand;
using testsupport::ScratchDir;

// One client run per mode; what it learns goes to standard output as
// "WORD values" lines.
const char* const kClient = R"PY(
import base64, smtplib, socket, ssl, sys
mode, host, port, cafile = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
flags = sys.argv[5:]

def context():
    ctx = ssl.create_default_context(cafile=cafile) if cafile != "-" else ssl.create_default_context()
    if "tls12" in flags:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    return ctx

def tls(sock):
    print("TLS", sock.version(), sock.cipher()[0])
    subject = dict(x[0] for x in sock.getpeercert()["subject"])
    print("CN", subject.get("commonName"))

def features(s):
    print("FEATURES", " ".join(sorted(s.esmtp_features)))

def send(s):
    s.login("user", "secret")
    body = "".join("line %06d of a message under TLS\r\n" % i for i in range(30000))
    refused = s.sendmail("a@example.com", ["b@example.com"], "Subject: tls\r\n\r\n" + body)
    print("SENT", len(body), len(refused))

try:
    if mode == "starttls":
        s = smtplib.SMTP(host, port, timeout=10)
        s.ehlo("py.example")
        features(s)
        if "auth-first" in flags:
            plain = base64.b64encode(b"\0user\0secret").decode()
            print("AUTH-BEFORE-TLS", s.docmd("AUTH", "PLAIN " + plain)[0])
        s.starttls(context=context())
        tls(s.sock)
        s.ehlo("py.example")
        features(s)
        if "send" in flags:
            send(s)
        s.quit()
    elif mode == "implicit":
        s = smtplib.SMTP_SSL(host, port, context=context(), timeout=10)
        tls(s.sock)
        s.ehlo("py.example")
        if "send" in flags:
            send(s)
        s.quit()
    elif mode == "pipelined-starttls":
        c = socket.create_connection((host, port), timeout=10)
        f = c.makefile("rb")
        f.readline()
        c.sendall(b"STARTTLS\r\nEHLO py.example\r\n")
        print("REPLY", f.readline().decode().strip())
        c.close()
    elif mode == "two-records":
        # Two TLS records in one TCP write: the second arrives with the first.
        c = socket.create_connection((host, port), timeout=10)
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls_object = context().wrap_bio(incoming, outgoing, server_hostname=host)
        while True:
            try:
                tls_object.do_handshake()
                break
            except ssl.SSLWantReadError:
                c.sendall(outgoing.read())
                data = c.recv(65536)
                if not data:
                    raise EOFError("closed during the handshake")
                incoming.write(data)
        tls_object.write(b"ehlo first\r\n")
        tls_object.write(b"quit\r\n")
        c.sendall(outgoing.read())
        reply = b""
        while not reply.endswith(b"\r\n"):
            try:
                chunk = tls_object.read(1000)
                if not chunk:
                    break
                reply += chunk
            except ssl.SSLWantReadError:
                data = c.recv(65536)
                if not data:
                    break
                incoming.write(data)
        print("REPLY", reply.decode().strip())
        c.close()
    elif mode == "read-huge":
        c = context().wrap_socket(socket.create_connection((host, port), timeout=10),
                                  server_hostname=host)
        want, got = int(flags[0]), b""
        while not got.endswith(b"\r\n"):
            chunk = c.recv(65536)
            if not chunk:
                break
            got += chunk
        print("GOT", len(got) - 2, got.count(b"x") == want)
        c.close()
    print("DONE")
except Exception as e:
    print("ERROR", type(e).__name__, e)
    sys.exit(1)
)PY";

struct ClientRun {
    int status = -1;
    std::string output;
    // The rest of the line after "WORD ", empty when there is none.
    std::string value(const std::string& word) const {
        const std::string key = word + " ";
        size_t at = output.rfind("\n" + key);
        if (at == std::string::npos) {
            if (output.rfind(key, 0) != 0) return std::string();
            at = 0;
        } else {
            ++at;
        }
        at += key.size();
        return output.substr(at, output.find('\n', at) - at);
    }
};

class TlsServerTest : public ::testing::Test {
  protected:
    ScratchDir scratch;
    std::string throwawayPem = scratch.file("throwaway.pem", smtptest::throwawayCertificatePem());
    std::string client = scratch.file("client.py", kClient);

    ClientRun python(const std::string& mode, uint16_t port, const std::string& cafile,
                     std::vector<std::string> flags = {}, const std::string& host = "127.0.0.1") {
        std::vector<std::string> args = {"python3", client, mode, host, std::to_string(port),
                                         cafile};
        args.insert(args.end(), flags.begin(), flags.end());
        ClientRun r;
        r.status = runCommand(args, r.output);
        return r;
    }

    // openssl s_client with the given SMTP lines as its input; it waits for
    // the server to close (after QUIT).
    ClientRun sClient(uint16_t port, const std::vector<std::string>& extra,
                      const std::string& lines) {
        std::string cmd = "printf '" + lines + "' | openssl s_client -brief -ign_eof -connect " +
                          "127.0.0.1:" + std::to_string(port);
        for (const std::string& e : extra) cmd += " " + e;
        ClientRun r;
        r.status = runCommand({"sh", "-c", cmd}, r.output);
        return r;
    }

    // A certificate and key of our own (RSA, CN tls-files.test).
    void makeCertificate(const std::string& cert, const std::string& key) {
        std::string out;
        ASSERT_EQ(runCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                              key, "-out", cert, "-days", "1", "-subj", "/CN=tls-files.test",
                              "-addext", "subjectAltName=IP:127.0.0.1"},
                             out),
                  0)
            << out;
    }
};

const char* const kStartTlsScript =
    "S: 220 tls.test ESMTP\n"
    "C: ehlo py.example\n"
    "S: 250-tls.test\\r\\n250 STARTTLS\n"
    "C: STARTTLS\n"
    "S: 220 2.0.0 Ready to start TLS\n";

TEST_F(TlsServerTest, StartTlsScriptAgreesWithPython) {
    FaultServer server(script(std::string(kStartTlsScript) + "TLS\n"
                                                             "C: ehlo py.example\n"
                                                             "S: 250-tls.test\\r\\n250 SIZE 1000\n"
                                                             "C: quit\n"
                                                             "S: 221 bye\n"
                                                             "CLOSED\n"),
                       10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("starttls", server.port(), throwawayPem);
    EXPECT_TRUE(server.finish()) << server.failure() << "\n" << r.output;
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.value("CN"), "localhost");
    // Before TLS the client saw STARTTLS offered; after it, only the second list.
    EXPECT_NE(r.output.find("FEATURES starttls\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.value("FEATURES"), "size");
    std::vector<std::string> got = server.received();
    EXPECT_EQ(got,
              (std::vector<std::string>{"ehlo py.example", "STARTTLS", "ehlo py.example", "quit"}));
    ASSERT_EQ(server.tlsSessions().size(), 1u);
    EXPECT_EQ(server.tlsSessions()[0], r.value("TLS"));
    EXPECT_EQ(server.tlsSessions()[0].rfind("TLSv1.3 ", 0), 0u) << server.tlsSessions()[0];
}

TEST_F(TlsServerTest, TlsTwelveWhenTheClientGoesNoHigher) {
    FaultServer server(script(std::string(kStartTlsScript) + "TLS\n"
                                                             "C: ehlo py.example\n"
                                                             "S: 250 tls.test\n"
                                                             "C: quit\n"
                                                             "S: 221 bye\n"),
                       10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("starttls", server.port(), throwawayPem, {"tls12"});
    EXPECT_TRUE(server.finish()) << server.failure() << "\n" << r.output;
    ASSERT_EQ(server.tlsSessions().size(), 1u);
    EXPECT_EQ(server.tlsSessions()[0], r.value("TLS"));
    EXPECT_EQ(server.tlsSessions()[0].rfind("TLSv1.2 ", 0), 0u) << server.tlsSessions()[0];
}

TEST_F(TlsServerTest, RefusedCertificateFailsTheTlsStepWithOpenSslsReason) {
    // Without our certificate among its trusted ones the client aborts.
    FaultServer server(script(std::string(kStartTlsScript) + "TLS\nC: ehlo\n"), 10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("starttls", server.port(), "-");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("SSLCertVerificationError"), std::string::npos) << r.output;
    EXPECT_FALSE(server.finish());
    EXPECT_NE(server.failure().find("step 6: TLS handshake failed: "), std::string::npos)
        << server.failure();
    // The client's alert, as OpenSSL names it.
    EXPECT_NE(server.failure().find("alert"), std::string::npos) << server.failure();
    EXPECT_TRUE(server.tlsSessions().empty());
}

TEST_F(TlsServerTest, RefusedCertificateEndsATlsMayFailScriptQuietly) {
    FaultServer server(script(std::string(kStartTlsScript) + "TLS?\nC: ehlo\n"), 10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("starttls", server.port(), "-");
    EXPECT_NE(r.output.find("SSLCertVerificationError"), std::string::npos) << r.output;
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"ehlo py.example", "STARTTLS"}));
}

TEST_F(TlsServerTest, TlsMayFailScriptGoesOnWhenTheHandshakeCompletes) {
    FaultServer server(script(std::string(kStartTlsScript) + "TLS?\n"
                                                             "C: ehlo py.example\n"
                                                             "S: 250 tls.test\n"
                                                             "C: quit\n"
                                                             "S: 221 bye\n"),
                       10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("starttls", server.port(), throwawayPem);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(server.received().size(), 4u);
}

TEST_F(TlsServerTest, CommandSentInTheClearAfterStartTlsFailsTheScript) {
    FaultServer server(script("S: 220 tls.test ESMTP\n"
                              "C: STARTTLS\n"
                              "S: 220 2.0.0 Ready to start TLS\n"
                              "TLS\n"),
                       10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("pipelined-starttls", server.port(), "-");
    EXPECT_EQ(r.value("REPLY"), "220 2.0.0 Ready to start TLS") << r.output;
    EXPECT_FALSE(server.finish());
    EXPECT_NE(server.failure().find("step 4: the client sent \"EHLO py.example\r\n\" in the clear"),
              std::string::npos)
        << server.failure();
}

TEST_F(TlsServerTest, RecordsThatArriveTogetherAreAllRead) {
    // The second line is already decrypted, or at least read from the
    // socket, when the first is taken: waiting on the socket would not end.
    FaultServer server(script("TLS\nC: ehlo first\nC: quit\nS: 221 bye\n"), 3000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("two-records", server.port(), throwawayPem);
    EXPECT_EQ(r.value("REPLY"), "221 bye") << r.output;
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(server.received(), (std::vector<std::string>{"ehlo first", "quit"}));
}

TEST_F(TlsServerTest, ImplicitTlsScriptAndAHugeWriteThroughTls) {
    // 3 MB in 64 KB pieces outruns the socket buffers: writes must wait and
    // resume through OpenSSL's retries.
    FaultServer server(script("TLS\nHUGE 3000000\nS: \nCLOSED\n"), 10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("read-huge", server.port(), throwawayPem, {"3000000"});
    EXPECT_EQ(r.value("GOT"), "3000000 True") << r.output;
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(server.tlsSessions().size(), 1u);
}

TEST_F(TlsServerTest, ImplicitTlsSessionWithPythonsSmtpSsl) {
    FaultServer server(script("TLS\n"
                              "S: 220 tls.test ESMTP\n"
                              "C: ehlo py.example\n"
                              "S: 250 tls.test\n"
                              "C: quit\n"
                              "S: 221 bye\n"
                              "CLOSED\n"),
                       10000);
    ASSERT_TRUE(server.start());
    ClientRun r = python("implicit", server.port(), throwawayPem, {}, "localhost");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(server.finish()) << server.failure();
    ASSERT_EQ(server.tlsSessions().size(), 1u);
    EXPECT_EQ(server.tlsSessions()[0], r.value("TLS"));
}

TEST_F(TlsServerTest, NewConnectionAfterAcceptStartsInTheClear) {
    FaultServer server(script("TLS\n"
                              "S: 220 tls.test ESMTP\n"
                              "C: ehlo\n"
                              "S: 250 tls.test\n"
                              "C: quit\n"
                              "S: 221 bye\n"
                              "ACCEPT\n"
                              "S: 220 plain.test ESMTP\n"
                              "C: ehlo\n"
                              "S: 250 plain.test\n"
                              "C: quit\n"
                              "S: 221 bye\n"),
                       10000);
    ASSERT_TRUE(server.start());
    ClientRun tls = python("implicit", server.port(), throwawayPem);
    EXPECT_EQ(tls.status, 0) << tls.output;
    // The plain client's lines are read as they come, not as TLS records.
    std::string out;
    EXPECT_EQ(runCommand({"python3", "-c",
                          "import smtplib,sys; s=smtplib.SMTP('127.0.0.1',int(sys.argv[1]),"
                          "timeout=10); s.ehlo('plain'); print(s.ehlo_resp.decode()); s.quit()",
                          std::to_string(server.port())},
                         out),
              0)
        << out;
    EXPECT_NE(out.find("plain.test"), std::string::npos) << out;
    EXPECT_TRUE(server.finish()) << server.failure();
    EXPECT_EQ(server.tlsSessions().size(), 1u);
}

TEST_F(TlsServerTest, CertificateFilesArePresented) {
    makeCertificate(scratch.name("own.pem"), scratch.name("own.key"));
    FaultServer server(
        script("TLS\nS: 220 tls.test ESMTP\nC: ehlo\nS: 250 ok\nC: quit\nS: 221 bye\n"), 10000);
    server.setTlsFiles(scratch.name("own.pem"), scratch.name("own.key"));
    ASSERT_TRUE(server.start());
    ClientRun r = python("implicit", server.port(), scratch.name("own.pem"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.value("CN"), "tls-files.test");
    EXPECT_TRUE(server.finish()) << server.failure();
}

TEST_F(TlsServerTest, KeyOfAnotherCertificateIsRefused) {
    makeCertificate(scratch.name("a.pem"), scratch.name("a.key"));
    makeCertificate(scratch.name("b.pem"), scratch.name("b.key"));
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::Implicit;
    o.tlsCertFile = scratch.name("a.pem");
    o.tlsKeyFile = scratch.name("b.key");
    CaptureServer capture(o);
    EXPECT_FALSE(capture.start());
    EXPECT_NE(capture.startError().find("key values mismatch"), std::string::npos)
        << capture.startError();

    o.tlsKeyFile = scratch.name("missing.key");
    CaptureServer missing(o);
    EXPECT_FALSE(missing.start());
    EXPECT_NE(missing.startError().find("missing.key"), std::string::npos) << missing.startError();

    FaultServer server(script("TLS\n"), 3000);
    server.setTlsFiles(scratch.name("a.pem"), scratch.name("b.key"));
    ASSERT_TRUE(server.start());
    std::string out;
    runCommand(
        {"python3", "-c",
         "import socket,sys; socket.create_connection(('127.0.0.1',int(sys.argv[1]))).recv(1)",
         std::to_string(server.port())},
        out);
    EXPECT_FALSE(server.finish());
    EXPECT_NE(server.failure().find("step 1: cannot load the TLS key"), std::string::npos)
        << server.failure();
}

TEST_F(TlsServerTest, CaptureStartTlsWithAuthOnlyUnderTls) {
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::StartTls;
    o.requireTlsForAuth = true;
    o.username = "user";
    o.password = "secret";
    CaptureServer capture(o);
    ASSERT_TRUE(capture.start()) << capture.startError();
    ClientRun r =
        python("starttls", capture.port(), throwawayPem, {"auth-first", "send"}, "localhost");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.value("AUTH-BEFORE-TLS"), "530");
    // STARTTLS is offered before TLS and AUTH only after it.
    const std::string before = r.output.substr(0, r.output.find("\nTLS "));
    EXPECT_NE(before.find("FEATURES 8bitmime size starttls\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.value("FEATURES"), "8bitmime auth size");
    capture.stop();

    std::vector<smtptest::CapturedMessage> got = capture.messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].tls, r.value("TLS"));
    EXPECT_EQ(got[0].authUser, "user");
    const std::string sent = r.value("SENT");
    EXPECT_EQ(sent, "1080000 0");
    EXPECT_EQ(got[0].data.size(), std::string("Subject: tls\r\n\r\n").size() + 1080000);
    EXPECT_NE(got[0].data.find("line 029999 of a message under TLS\r\n"), std::string::npos);

    const std::string t = capture.transcript();
    EXPECT_NE(t.find("C: AUTH PLAIN"), std::string::npos) << t;
    EXPECT_NE(t.find("S: 530 5.7.0 Must issue a STARTTLS command first\n"), std::string::npos) << t;
    EXPECT_NE(t.find("C: STARTTLS\nS: 220 2.0.0 Ready to start TLS\n"), std::string::npos) << t;
    EXPECT_NE(t.find("S: 235 2.7.0 Authentication successful\n"), std::string::npos) << t;
}

TEST_F(TlsServerTest, CaptureForgetsTheSessionAtStartTls) {
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::StartTls;
    CaptureServer capture(o);
    ASSERT_TRUE(capture.start()) << capture.startError();
    // s_client does EHLO and STARTTLS itself; then MAIL without a new EHLO
    // must be refused, and STARTTLS again is an error.
    ClientRun r =
        sClient(capture.port(),
                {"-starttls", "smtp", "-CAfile", throwawayPem, "-verify_return_error", "-verify_ip",
                 "127.0.0.1"},
                "MAIL FROM:<a@example.com>\\r\\nEHLO again\\r\\nSTARTTLS\\r\\nQUIT\\r\\n");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Verification: OK"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("503 5.5.1 Send EHLO or HELO first"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("503 5.5.1 Error: TLS already active"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("221 2.0.0 Bye"), std::string::npos) << r.output;
    // The EHLO under TLS lists no STARTTLS.
    const size_t again = r.output.find("greets again");
    ASSERT_NE(again, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("STARTTLS", again), std::string::npos) << r.output;
    // s_client names the version it negotiated as the server recorded it.
    const std::string t = capture.transcript();
    const size_t at = r.output.find("Protocol version: ");
    ASSERT_NE(at, std::string::npos) << r.output;
    const std::string version = r.output.substr(at + 18, r.output.find('\n', at) - at - 18);
    EXPECT_NE(t.find("S: <" + version + " "), std::string::npos) << t << r.output;
}

TEST_F(TlsServerTest, CaptureDropsWhatCameInTheClearAfterStartTls) {
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::StartTls;
    CaptureServer capture(o);
    ASSERT_TRUE(capture.start()) << capture.startError();
    ClientRun r = python("pipelined-starttls", capture.port(), "-");
    EXPECT_EQ(r.value("REPLY"), "220 2.0.0 Ready to start TLS") << r.output;
    capture.stop();
    const std::string t = capture.transcript();
    // The EHLO was dropped, not answered; the raw client never starts TLS.
    EXPECT_NE(t.find("C: STARTTLS\nC: <17 bytes after STARTTLS, dropped>\n"
                     "S: 220 2.0.0 Ready to start TLS\nS: <TLS handshake failed: "),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("greets"), std::string::npos) << t;
}

TEST_F(TlsServerTest, CaptureImplicitTlsWithSmtpSslAndSClient) {
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::Implicit;
    o.username = "user";
    o.password = "secret";
    o.requireTlsForAuth = true;
    CaptureServer capture(o);
    ASSERT_TRUE(capture.start()) << capture.startError();
    ClientRun r = python("implicit", capture.port(), throwawayPem, {"send"});
    EXPECT_EQ(r.status, 0) << r.output;
    ASSERT_TRUE(capture.waitForMessages(1, 5000));
    EXPECT_EQ(capture.messages()[0].tls, r.value("TLS"));
    EXPECT_EQ(capture.messages()[0].authUser, "user");

    ClientRun s = sClient(capture.port(), {"-CAfile", throwawayPem, "-verify_return_error"},
                          "EHLO sclient\\r\\nSTARTTLS\\r\\nQUIT\\r\\n");
    EXPECT_EQ(s.status, 0) << s.output;
    EXPECT_NE(s.output.find("220 capture.localhost ESMTP"), std::string::npos) << s.output;
    EXPECT_NE(s.output.find("250-AUTH LOGIN PLAIN CRAM-MD5"), std::string::npos) << s.output;
    EXPECT_EQ(s.output.find("250-STARTTLS"), std::string::npos) << s.output;
    EXPECT_NE(s.output.find("503 5.5.1 Error: TLS already active"), std::string::npos) << s.output;
}

TEST_F(TlsServerTest, CaptureImplicitTlsRefusesAPlainClient) {
    CaptureOptions o;
    o.tls = CaptureOptions::Tls::Implicit;
    o.idleTimeoutMs = 3000;
    CaptureServer capture(o);
    ASSERT_TRUE(capture.start()) << capture.startError();
    std::string out;
    // A client in the clear waits for a greeting that never comes in the
    // clear, then its EHLO breaks the handshake.
    runCommand({"python3", "-c",
                "import socket,sys; c=socket.create_connection(('127.0.0.1',int(sys.argv[1])),"
                "timeout=5); c.sendall(b'EHLO plain\\r\\n'); print('READ', len(c.recv(100)))",
                std::to_string(capture.port())},
               out);
    capture.stop();
    EXPECT_TRUE(capture.messages().empty());
    const std::string t = capture.transcript();
    EXPECT_NE(t.find("S: <TLS handshake failed: "), std::string::npos) << t;
    EXPECT_EQ(t.find("S: 220"), std::string::npos) << t;
}

TEST_F(TlsServerTest, PlainCaptureServerIsUnchanged) {
    CaptureServer capture{CaptureOptions()};
    ASSERT_TRUE(capture.start());
    std::string out;
    EXPECT_EQ(runCommand({"python3", "-c",
                          "import smtplib,sys; s=smtplib.SMTP('127.0.0.1',int(sys.argv[1]),"
                          "timeout=10); s.ehlo('p'); print('FEATURES', sorted(s.esmtp_features));"
                          "print('STARTTLS', s.docmd('STARTTLS')[0]); s.sendmail('a@x', ['b@x'], "
                          "'hi\\r\\n'); s.quit()",
                          std::to_string(capture.port())},
                         out),
              0)
        << out;
    EXPECT_NE(out.find("FEATURES ['8bitmime', 'size']"), std::string::npos) << out;
    EXPECT_NE(out.find("STARTTLS 500"), std::string::npos) << out;
    ASSERT_TRUE(capture.waitForMessages(1, 5000));
    EXPECT_EQ(capture.messages()[0].tls, "");
}

#endif

}  // namespace

#endif  // SMTP_HAVE_TEST_SERVERS
