// A host whose global operator new fails once: at the Nth allocation made
// on its own thread while a complete send runs through the interface
// (factory, settings, a non-ASCII message with To, Cc, plain and HTML
// bodies and an attachment, send), for N = 1, 2, ... until a send needs
// fewer than N allocations. The engine's buffers allocate with nothrow new
// (text/memory.cpp), so this one hook fails them too, and it reaches the
// module because the host's definitions come first in the dynamic lookup.
// Every run must end in results, never an exception into the host; a
// failed operation must leave a known error code; a message the server
// got must be whole (the length of one sent without a fault); and the same
// object must then send a message without a fault. Leaks show in the ASan
// build's LeakSanitizer at exit. Allocations of other threads (the capture
// server's) are never failed.
//
// Usage: plugin_alloc_fault_host [stride [first]]; stride n fails only every nth
// allocation point (1, the default, is every one), from the first (1).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host_env.h"
#include "tools/smtp_server/smtp_test_server.h"

#define HOST_EXPORT __attribute__((visibility("default")))

namespace {

// Only the host's thread counts, and only while armed.
thread_local bool t_armed = false;
thread_local unsigned long t_count = 0;
thread_local unsigned long t_failAt = 0;
thread_local bool t_injected = false;

// Where a debugger stops to see who was refused.
[[gnu::noinline]] void injected() {
    t_injected = true;
}

bool failNow() {
    if (!t_armed || ++t_count != t_failAt) return false;
    injected();
    return true;
}

void* take(std::size_t n) {
    return std::malloc(n ? n : 1);
}

void* takeOrThrow(std::size_t n) {
    if (failNow()) throw std::bad_alloc();
    if (void* p = take(n)) return p;
    throw std::bad_alloc();
}

void* takeOrNull(std::size_t n) noexcept {
    return failNow() ? nullptr : take(n);
}

}  // namespace

HOST_EXPORT void* operator new(std::size_t n) {
    return takeOrThrow(n);
}
HOST_EXPORT void* operator new[](std::size_t n) {
    return takeOrThrow(n);
}
HOST_EXPORT void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return takeOrNull(n);
}
HOST_EXPORT void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return takeOrNull(n);
}
HOST_EXPORT void operator delete(void* p) noexcept {
    std::free(p);
}
HOST_EXPORT void operator delete[](void* p) noexcept {
    std::free(p);
}
HOST_EXPORT void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
HOST_EXPORT void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
HOST_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
HOST_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

using host_env::narrow;

// Far above the milliseconds two sends take, even under a sanitizer, and
// below the capture server's 10 s wait for a client that went quiet.
constexpr std::chrono::seconds kStalled{5};

const char* const kCodes[] = {"ERROR_NULL_POINTER", "ERROR_INVALID_ARG", "ERROR_FILE_NOT_FOUND",
                              "ERROR_SEND_FAILED", "ERROR_NOT_IMPLEMENTED"};

struct Run {
    std::string refusedIn;  // the call in which the allocation failed
    std::string escaped;    // the operation an exception came out of
    std::string badCode;    // an operation that failed without a known code
    bool created = false;   // the factory gave an object
    bool sent = false;
};

bool knownCode(const std::string& code) {
    for (const char* c : kCodes)
        if (code == c) return true;
    return false;
}

// Whether the runs fail an allocation now; the host's own work between
// two calls never counts.
bool g_injecting = false;

// One call into the module, counted when the run injects: an exception is
// the fault this test is for.
template <class Op>
auto call(Run& run, const char* name, Op op) -> decltype(op()) {
    t_armed = g_injecting;
    const bool before = t_injected;
    try {
        auto result = op();
        t_armed = false;
        if (t_injected != before) run.refusedIn = name;
        return result;
    } catch (...) {
        t_armed = false;
        if (t_injected != before) run.refusedIn = name;
        if (run.escaped.empty()) run.escaped = name;
        return {};
    }
}

// A false answer must come with a known code (add_cc and add_bcc answer
// false by design and are not asked).
void expectCode(Run& run, email_interface* p, const char* name, bool ok) {
    if (ok || !run.badCode.empty()) return;
    const std::string code =
        narrow(call(run, "get_last_error", [&] { return p->get_last_error(); }));
    if (!knownCode(code)) run.badCode = std::string(name) + " answered '" + code + "'";
}

struct Message {
    std::wstring port;
    std::wstring attachment;
};

// The whole compose-and-send of one message on p.
bool sendOne(Run& run, email_interface* p, const Message& m) {
    // A setting the plug-in did not take is the one failure a careful host
    // stops for: the message would be another one.
    const wchar_t* on =
        call(run, "set_option", [&] { return p->set_option(L"html_alternative", L"on"); });
    if (narrow(on) != "on") return false;
    bool ok = call(run, "set_server",
                   [&] { return p->set_server(L"127.0.0.1", m.port.c_str(), L"", L""); });
    expectCode(run, p, "set_server", ok);
    ok = call(run, "set_from",
              [&] { return p->set_from(L"\u00C5sa Lindstr\u00F6m <asa@example.com>"); });
    expectCode(run, p, "set_from", ok);
    ok = call(run, "add_to", [&] { return p->add_to(L"Bj\u00F6rn \u00DCnd <bjorn@example.com>"); });
    expectCode(run, p, "add_to", ok);
    call(run, "add_cc", [&] { return p->add_cc(L"carol@example.com (Carol)"); });
    ok = call(run, "set_subject",
              [&] { return p->set_subject(L"Gr\u00FC\u00DFe \u2013 \u65E5\u672C\u8A9E check"); });
    expectCode(run, p, "set_subject", ok);
    ok = call(run, "set_body", [&] {
        return p->set_body(
            L"Hallo,\nsch\u00F6ne Gr\u00FC\u00DFe aus M\u00FCnchen.\n\u2014 \u00C5sa\n");
    });
    expectCode(run, p, "set_body", ok);
    ok = call(run, "set_html_body", [&] {
        return p->set_html_body(L"<p>Sch\u00F6ne <b>Gr\u00FC\u00DFe</b> \u2713</p>");
    });
    expectCode(run, p, "set_html_body", ok);
    ok = call(run, "add_attachment", [&] { return p->add_attachment(m.attachment.c_str()); });
    expectCode(run, p, "add_attachment", ok);
    ok = call(run, "send", [&] { return p->send(); });
    expectCode(run, p, "send", ok);
    return ok;
}

std::string attachmentBytes() {
    std::string s;
    for (int i = 0; i < 3000; ++i) s += static_cast<char>((i * 7 + i / 13) & 0xFF);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long stride = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    const unsigned long first = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    if (stride == 0 || first == 0) {
        std::fprintf(stderr, "usage: plugin_alloc_fault_host [stride [first]]\n");
        return 2;
    }
    host_env::ScratchDir dir;
    dir.write("data.bin", attachmentBytes());
    // A fresh server now and then: its list of messages only grows, and
    // stopping one takes a while.
    std::unique_ptr<smtptest::CaptureServer> server;
    Message message{L"", dir.file("data.bin").wstring()};
    auto freshServer = [&] {
        server = std::make_unique<smtptest::CaptureServer>();
        if (!server->start()) {
            std::fprintf(stderr, "capture server: %s\n", server->startError().c_str());
            std::exit(1);
        }
        message.port = std::to_wstring(server->port());
    };
    auto factory =
        reinterpret_cast<Createsmtp_plugin_fn>(host_env::findSymbol("Createsmtp_plugin"));
    if (!factory) {
        std::fprintf(stderr, "no factory\n");
        return 1;
    }

    // The text a send without faults delivers, and how many allocations it takes.
    size_t wholeLength = 0;
    unsigned long allocations = 0;
    {
        Run run;
        freshServer();
        t_count = 0;
        t_failAt = 0;
        g_injecting = true;
        email_interface* p = call(run, "Createsmtp_plugin", factory);
        const bool sent = p && sendOne(run, p, message);
        g_injecting = false;
        allocations = t_count;
        if (p) p->release();
        if (!sent || !run.escaped.empty() || server->messages().size() != 1) {
            std::fprintf(stderr, "the send without faults failed\n");
            return 1;
        }
        wholeLength = server->messages().back().data.size();
    }
    std::printf("a send takes %lu allocations on the host's thread; failing every %lu%s\n",
                allocations, stride, stride == 1 ? "st" : "th");

    int failures = 0;
    unsigned long runs = 0;
    for (unsigned long n = first;; n += stride) {
        ++runs;
        const auto runStart = std::chrono::steady_clock::now();
        Run run;
        if (runs % 64 == 1) freshServer();
        const size_t before = server->messages().size();
        t_count = 0;
        t_failAt = n;
        t_injected = false;
        g_injecting = true;
        email_interface* p = call(run, "Createsmtp_plugin", factory);
        run.created = p != nullptr;
        if (p) run.sent = sendOne(run, p, message);
        g_injecting = false;
        const bool injected = t_injected;

        std::string problem;
        if (!run.escaped.empty()) problem = "an exception came out of " + run.escaped;
        if (problem.empty() && !run.badCode.empty()) problem = run.badCode;

        // The same object (a new one when the factory failed) sends again.
        if (!p) p = factory();
        Run again;
        if (problem.empty() && (!sendOne(again, p, message) || !again.escaped.empty()))
            problem = "the send after the fault failed";
        p->release();

        // Read after both sends: a text the faulty send got out before it
        // failed may be stored by the server only now. Every one is whole.
        const std::vector<smtptest::CapturedMessage> got = server->messages();
        for (size_t i = before; problem.empty() && i < got.size(); ++i)
            if (got[i].data.size() != wholeLength)
                problem = "the server got " + std::to_string(got[i].data.size()) + " bytes, not " +
                          std::to_string(wholeLength);
        if (problem.empty() && got.size() < before + (run.sent ? 2 : 1))
            problem = "a send answered true, yet its message did not arrive";
        // Both sends take milliseconds. One that runs into a time-out went on
        // with a command or a reply it had lost part of, and waited for an
        // answer that could not come.
        const auto took = std::chrono::steady_clock::now() - runStart;
        if (problem.empty() && took > kStalled)
            problem =
                "the sends took " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(took).count()) +
                " s: one waited for an answer to text it had lost";

        if (!problem.empty()) {
            ++failures;
            std::printf("allocation %lu (in %s): %s\n", n, run.refusedIn.c_str(), problem.c_str());
        }
        if (!injected) break;  // the send needed fewer allocations than n
    }
    std::printf("%lu runs, %d failed\n", runs, failures);
    return failures ? 1 : 0;
}
