// Messages per second over one SMTP connection to the capture server: our
// mail manager (RSET, MAIL FROM, RCPT TO, DATA per message) next to Python's
// smtplib sending the same message text to the same server in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "diag/log_base.h"
#include "mail/cls_mail_man.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "text/xstring.h"
#include "tools/smtp_server/smtp_test_server.h"

namespace {

smtptest::CaptureServer& server() {
    static smtptest::CaptureServer s{smtptest::CaptureOptions()};
    static bool started = s.start();
    (void)started;
    return s;
}

void fill(ClsEmail& email) {
    auto x = [](const char* s) {
        XString v;
        v.setFromUtf8(s);
        return v;
    };
    XString from = x("sender@example.com"), subject = x("Benchmark message"),
            body = x("Hello,\r\nthis is a short benchmark message.\r\n"), none,
            to = x("rcpt@example.com");
    email.put_From(from);
    email.put_Subject(subject);
    email.put_Body(body);
    email.AddTo(none, to);
}

void BM_MailManOneConnection(benchmark::State& state) {
    ClsMailMan mm;
    XString host;
    host.setFromUtf8("127.0.0.1");
    mm.put_SmtpHost(host);
    mm.put_SmtpPort(server().port());
    ClsEmail email;
    fill(email);
    if (!mm.SendEmail(email)) {  // opens the connection; later sends reuse it
        state.SkipWithError("first send failed");
        return;
    }
    for (auto _ : state) {
        if (!mm.SendEmail(email)) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.counters["msgs_per_s"] =
        benchmark::Counter(state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MailManOneConnection)->Unit(benchmark::kMicrosecond)->MinTime(3.0)->UseRealTime();

// smtplib over one connection, RSET before every message as our client
// sends it; Python times itself and reports messages per second.
void BM_PythonSmtplibOneConnection(benchmark::State& state) {
    ClsEmail email;
    fill(email);
    bool created = false;
    StringBuffer text;
    LogNull log;
    email.getEmailTree(created)->assembleMime(text, nullptr, "BVX-", log);
    const std::string path = "/tmp/smtp_bench_message.eml";
    std::ofstream(path, std::ios::binary).write(text.getString(), text.length());

    const int count = 2000;
    std::string cmd =
        "python3 -c '\n"
        "import smtplib, sys, time\n"
        "msg = open(sys.argv[1], \"rb\").read()\n"
        "s = smtplib.SMTP(\"127.0.0.1\", int(sys.argv[2]))\n"
        "s.ehlo()\n"
        "n = int(sys.argv[3])\n"
        "t = time.perf_counter()\n"
        "for i in range(n):\n"
        "    s.rset()\n"
        "    s.sendmail(\"sender@example.com\", [\"rcpt@example.com\"], msg)\n"
        "print(n / (time.perf_counter() - t))\n"
        "s.quit()\n' " +
        path + " " + std::to_string(server().port()) + " " + std::to_string(count);
    double rate = 0;
    for (auto _ : state) {
        FILE* p = popen(cmd.c_str(), "r");
        if (!p || std::fscanf(p, "%lf", &rate) != 1) {
            if (p) pclose(p);
            state.SkipWithError("python3 smtplib run failed");
            break;
        }
        pclose(p);
    }
    std::remove(path.c_str());
    state.counters["msgs_per_s"] = rate;
}
BENCHMARK(BM_PythonSmtplibOneConnection)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
