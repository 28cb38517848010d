// TLS next to plain TCP, in one run against the capture server: messages per
// second over one connection (STARTTLS once, then every message under TLS)
// and the cost of setting a connection up (connect, greeting, EHLO, and for
// TLS STARTTLS, the handshake and EHLO again, then QUIT).
#include <benchmark/benchmark.h>

#include <memory>

#include "diag/log_base.h"
#include "mail/cls_mail_man.h"
#include "mail/smtp_conn_impl.h"
#include "mime/cls_email.h"
#include "text/xstring.h"
#include "tools/smtp_server/smtp_test_server.h"

namespace {

// Arg 0: a server without STARTTLS; 1: one that offers it (throwaway
// certificate; tls=auto goes on though it cannot be checked).
smtptest::CaptureServer& server(bool tls) {
    static std::unique_ptr<smtptest::CaptureServer> servers[2];
    auto& s = servers[tls ? 1 : 0];
    if (!s) {
        smtptest::CaptureOptions o;
        if (tls) o.tls = smtptest::CaptureOptions::Tls::StartTls;
        s = std::make_unique<smtptest::CaptureServer>(o);
        s->start();
    }
    return *s;
}

XString x(const char* s) {
    XString v;
    v.setFromUtf8(s);
    return v;
}

void BM_MessagesOverOneConnection(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    ClsMailMan mm;
    XString host = x("127.0.0.1");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(server(tls).port());
    ClsEmail email;
    XString from = x("sender@example.com"), subject = x("Benchmark message"),
            body = x("Hello,\r\nthis is a short benchmark message.\r\n"), none,
            to = x("rcpt@example.com");
    email.put_From(from);
    email.put_Subject(subject);
    email.put_Body(body);
    email.AddTo(none, to);
    if (!mm.SendEmail(email) || (tls != (mm.smtpConnection().tls() != nullptr))) {
        state.SkipWithError("first send failed or not in the mode asked");
        return;
    }
    for (auto _ : state) {
        if (!mm.SendEmail(email)) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.counters["msgs_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(tls ? "STARTTLS" : "plain TCP");
}
BENCHMARK(BM_MessagesOverOneConnection)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(3.0)
    ->UseRealTime();

void BM_ConnectionSetUp(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    const int port = server(tls).port();
    LogNull log;
    for (auto _ : state) {
        SmtpConnImpl conn;
        XString user, password;
        bool timedOut = false;
        if (!conn.smtpConnect("127.0.0.1", port, user, password, std::chrono::seconds(10),
                              std::chrono::milliseconds(10000), log, timedOut) ||
            tls != (conn.tls() != nullptr)) {
            state.SkipWithError("connect failed or not in the mode asked");
            break;
        }
        // Going out of scope, the connection says QUIT.
    }
    state.SetLabel(tls ? "connect, EHLO, STARTTLS, handshake, EHLO, QUIT" : "connect, EHLO, QUIT");
}
BENCHMARK(BM_ConnectionSetUp)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(3.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
