// A host with worker threads: each thread has objects of its own made from
// the one loaded module, and sends while other threads make, use, shut
// down and destroy theirs. Subjects and bodies in several scripts make the
// first use of the process-wide tables concurrent. scripts/test-tsan runs
// this under ThreadSanitizer with the module built for it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_env.h"
#include "tools/smtp_server/smtp_test_server.h"
#include "tools/smtp_server/tls_server.h"
#ifndef _WIN32
#include "integration/postfix_process.h"
#endif

namespace {

using host_env::narrow;
using host_env::wide;

const wchar_t* const kSubjects[] = {
    L"Привет из потока", L"Γειά σου από νήμα", L"スレッドからこんにちは",
    L"مرحبا من الخيط",   L"שלום מהחוט",        L"สวัสดีจากเธรด",
    L"来自线程的问候",   L"스레드에서 안녕",   L"Grüße aus dem Faden",
};
constexpr size_t kSubjectCount = sizeof kSubjects / sizeof kSubjects[0];
constexpr int kSendsPerThread = 8;

// Where one group of workers sends, and how.
struct Target {
    std::string name;
    std::wstring port;
    std::wstring user, password;
    std::vector<std::pair<std::wstring, std::wstring>> options;
};

class Failures {
  public:
    void add(const std::string& what) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_list.push_back(what);
    }
    std::vector<std::string> list() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_list;
    }

  private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_list;
};

// One worker: a fresh object per half of its sends, so objects also end
// while the other workers are in the middle of theirs.
void worker(const Target& t, int id, Failures& failures) {
    for (int half = 0; half < 2; ++half) {
        host_env::Plugin p = host_env::create();
        p->set_server(L"127.0.0.1", t.port.c_str(), t.user.c_str(), t.password.c_str());
        for (const auto& [name, value] : t.options) p->set_option(name.c_str(), value.c_str());
        for (int i = half * kSendsPerThread / 2; i < (half + 1) * kSendsPerThread / 2; ++i) {
            const std::wstring to =
                L"w" + std::to_wstring(id) + L"-" + std::to_wstring(i) + L"@far-away.example";
            p->set_from(L"Worker <alice@example.com>");
            p->add_to(to.c_str());
            const std::wstring subject = kSubjects[(id + i) % kSubjectCount];
            p->set_subject(subject.c_str());
            p->set_body((subject + L"\r\n" + kSubjects[(id + i + 1) % kSubjectCount]).c_str());
            if (!p->send())
                failures.add(t.name + " worker " + std::to_string(id) + " send " +
                             std::to_string(i) + ": " + narrow(p->get_last_error()));
        }
        if (half == 0) p->shutdown();  // gives the caches back only when no other object lives
    }
}

// Makes, uses and destroys objects without sending until told to stop.
void churn(const std::atomic<bool>& stop, std::atomic<int>& rounds) {
    size_t i = 0;
    while (!stop.load()) {
        host_env::Plugin p = host_env::create();
        p->set_subject(kSubjects[i++ % kSubjectCount]);
        p->set_html_body(kSubjects[i % kSubjectCount]);
        if (i % 3 == 0) p->shutdown();
        rounds.fetch_add(1);
    }
}

TEST(ThreadedHost, ObjectsOnManyThreadsSendWhileOthersEnd) {
    host_env::ScratchDir scratch;
    std::vector<Target> targets;

    smtptest::CaptureServer plain;
    ASSERT_TRUE(plain.start()) << plain.startError();
    targets.push_back({"plain", std::to_wstring(plain.port()), L"", L"", {}});

#ifndef _WIN32
    smtptest::CaptureOptions tlsOptions;
    tlsOptions.username = "alice";
    tlsOptions.password = "Pa55 w0rd";
    tlsOptions.tls = smtptest::CaptureOptions::Tls::StartTls;
    tlsOptions.requireTlsForAuth = true;
    tlsOptions.requireAuth = true;
    smtptest::CaptureServer tls(tlsOptions);
    ASSERT_TRUE(tls.start()) << tls.startError();
    scratch.write("capture-ca.pem", smtptest::throwawayCertificatePem());
    targets.push_back({"starttls+auth",
                       std::to_wstring(tls.port()),
                       L"alice",
                       L"Pa55 w0rd",
                       {{L"tls", L"starttls"},
                        {L"tls_ca_file", wide(host_env::utf8Of(scratch.file("capture-ca.pem")))}}});

    smtp_integration::PostfixSasl postfix;
    std::string why;
    const bool havePostfix = postfix.start("ntlm-user", "Ntlm pass, more than 14", "NTLM", why);
    if (havePostfix)
        targets.push_back({"ntlm",
                           std::to_wstring(postfix.port()),
                           L"ntlm-user",
                           L"Ntlm pass, more than 14",
                           {{L"auth", L"ntlm"}}});
    else if (!postfix.skipped())
        FAIL() << why << postfix.logTail();
#else
    // scripts/test-windows starts Postfix with AUTH NTLM on the Linux side.
    const char* ntlmPort = std::getenv("SMTP_POSTFIX_NTLM_PORT");
    if (ntlmPort)
        targets.push_back({"ntlm",
                           wide(ntlmPort),
                           L"ntlm-user",
                           L"Ntlm pass, more than 14",
                           {{L"auth", L"ntlm"}}});
#endif

    Failures failures;
    std::atomic<bool> stop{false};
    std::atomic<int> churned{0};
    std::thread churner(churn, std::cref(stop), std::ref(churned));
    std::vector<std::thread> workers;
    int id = 0;
    for (const Target& t : targets)
        for (int k = 0; k < 2; ++k)
            workers.emplace_back(worker, std::cref(t), id++, std::ref(failures));
    for (std::thread& w : workers) w.join();
    stop.store(true);
    churner.join();

    for (const std::string& f : failures.list()) ADD_FAILURE() << f;
    EXPECT_GT(churned.load(), 0);
    const size_t perTarget = 2 * kSendsPerThread;
    EXPECT_TRUE(plain.waitForMessages(perTarget, 5000));
    EXPECT_EQ(plain.messages().size(), perTarget);
#ifndef _WIN32
    EXPECT_TRUE(tls.waitForMessages(perTarget, 5000));
    const auto overTls = tls.messages();
    EXPECT_EQ(overTls.size(), perTarget);
    for (const auto& m : overTls) {
        EXPECT_EQ(m.authUser, "alice");
        EXPECT_FALSE(m.tls.empty());
    }
    if (havePostfix) {
        EXPECT_EQ(postfix.messages(perTarget).size(), perTarget);
    }
#endif
}

}  // namespace
