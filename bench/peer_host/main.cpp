// bench_peer_host: a minimal host for bench/peers. It loads the smtp_plugin
// module with dlopen, as a real host does, and drives it only through
// email_interface, so the plug-in is measured exactly as hosts use it.
//
//   bench_peer_host MODULE small HOST PORT COUNT SIZE
//       COUNT messages with a SIZE-byte text body over one connection;
//       prints "peer_host small count=N seconds=S msgs_per_sec=R
//       after_first_seconds=T" (T: the messages after the first).
//   bench_peer_host MODULE large HOST PORT FILE
//       one message with FILE attached;
//       prints "peer_host large bytes=N seconds=S".
//
// BENCH_SMTP_USER and BENCH_SMTP_PASSWORD in the environment give a login,
// BENCH_SMTP_OPTIONS ("name=value,...") options for set_option.
//
// Exit status: 0 all sent; 1 a step or a send failed; 2 usage error.
#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin/email_interface.h"

namespace {

const char* const kUsage =
    "usage: bench_peer_host MODULE small HOST PORT COUNT SIZE\n"
    "       bench_peer_host MODULE large HOST PORT FILE\n";

using Clock = std::chrono::steady_clock;

// Arguments are ASCII (host names, ports, paths of the benchmark's files).
std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::string narrow(const wchar_t* text) {
    std::string out;
    for (const wchar_t* p = text; p && *p; ++p)
        out.push_back(*p > 0 && *p < 0x80 ? static_cast<char>(*p) : '?');
    return out;
}

bool parseCount(const char* text, long& out) {
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return end && *end == '\0' && out > 0;
}

// SIZE bytes of printable ASCII in lines of at most 76 characters, each
// ended by CR LF (counted in SIZE).
std::wstring textBody(long size) {
    static const char kPattern[] = "The quick brown fox jumps over the lazy dog 0123456789 ";
    std::wstring body;
    body.reserve(static_cast<size_t>(size));
    long column = 0;
    for (long i = 0; static_cast<long>(body.size()) < size; ++i) {
        const long left = size - static_cast<long>(body.size());
        if (column == 74 || (left <= 2 && column > 0)) {
            if (left >= 2) {
                body += L"\r\n";
            } else {
                body += L'.';  // one odd byte left: keep the exact size
            }
            column = 0;
            continue;
        }
        body.push_back(static_cast<wchar_t>(kPattern[i % (sizeof kPattern - 1)]));
        ++column;
    }
    return body;
}

int failed(email_interface* mail, const char* step, long index = -1) {
    const std::string code = narrow(mail->get_last_error());
    if (index >= 0)
        std::fprintf(stderr, "bench_peer_host: %s of message %ld failed: %s\n", step, index + 1,
                     code.empty() ? "(no error code)" : code.c_str());
    else
        std::fprintf(stderr, "bench_peer_host: %s failed: %s\n", step,
                     code.empty() ? "(no error code)" : code.c_str());
    return 1;
}

int compose(email_interface* mail, long index) {
    if (!mail->new_message()) return failed(mail, "new_message", index);
    if (!mail->set_from(L"Bench Sender <sender@example.test>"))
        return failed(mail, "set_from", index);
    if (!mail->add_to(L"Bench Rcpt <rcpt@example.test>")) return failed(mail, "add_to", index);
    return 0;
}

int runSmall(email_interface* mail, long count, long size) {
    const std::wstring body = textBody(size);
    const Clock::time_point start = Clock::now();
    Clock::time_point firstSent = start;
    for (long i = 0; i < count; ++i) {
        if (compose(mail, i) != 0) return 1;
        const std::wstring subject = L"bench message " + std::to_wstring(i + 1);
        if (!mail->set_subject(subject.c_str())) return failed(mail, "set_subject", i);
        if (!mail->set_body(body.c_str())) return failed(mail, "set_body", i);
        if (!mail->send()) return failed(mail, "send", i);
        if (i == 0) firstSent = Clock::now();
    }
    const Clock::time_point end = Clock::now();
    const double seconds = std::chrono::duration<double>(end - start).count();
    // The messages after the first, which also opened the connection.
    const double afterFirst = std::chrono::duration<double>(end - firstSent).count();
    std::printf(
        "peer_host small count=%ld size=%ld seconds=%.6f msgs_per_sec=%.1f "
        "after_first_seconds=%.6f\n",
        count, size, seconds, seconds > 0 ? static_cast<double>(count) / seconds : 0.0, afterFirst);
    return 0;
}

int runLarge(email_interface* mail, const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        std::fprintf(stderr, "bench_peer_host: cannot stat %s\n", file.c_str());
        return 1;
    }
    const Clock::time_point start = Clock::now();
    if (compose(mail, 0) != 0) return 1;
    if (!mail->set_subject(L"bench attachment")) return failed(mail, "set_subject");
    if (!mail->set_body(L"The file is attached.\r\n")) return failed(mail, "set_body");
    if (!mail->add_attachment(widen(file).c_str())) return failed(mail, "add_attachment");
    if (!mail->send()) return failed(mail, "send");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("peer_host large bytes=%lld seconds=%.6f\n", static_cast<long long>(st.st_size),
                seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const bool small = argc == 7 && std::string(argv[2]) == "small";
    const bool large = argc == 6 && std::string(argv[2]) == "large";
    long count = 0, size = 0;
    if (!small && !large) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (small && (!parseCount(argv[5], count) || !parseCount(argv[6], size))) {
        std::fputs("bench_peer_host: COUNT and SIZE must be positive numbers\n", stderr);
        return 2;
    }

    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* e = dlerror();
        std::fprintf(stderr, "bench_peer_host: cannot load %s: %s\n", argv[1],
                     e ? e : "dlopen failed");
        return 1;
    }
    auto create = reinterpret_cast<Createsmtp_plugin_fn>(dlsym(module, "Createsmtp_plugin"));
    email_interface* mail = create ? create() : nullptr;
    if (!mail) {
        std::fprintf(stderr, "bench_peer_host: %s has no working Createsmtp_plugin\n", argv[1]);
        dlclose(module);
        return 1;
    }

    mail->open();
    int status = 1;
    // "name=value,..." for set_option (bench/round_trips: chunking=off).
    if (const char* options = std::getenv("BENCH_SMTP_OPTIONS")) {
        std::string rest = options;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string item = rest.substr(0, comma);
            rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
            const size_t eq = item.find('=');
            if (eq == std::string::npos) continue;
            mail->set_option(widen(item.substr(0, eq)).c_str(), widen(item.substr(eq + 1)).c_str());
        }
    }
    // A login for servers that relay only for one (bench/round_trips).
    const char* user = std::getenv("BENCH_SMTP_USER");
    const char* password = std::getenv("BENCH_SMTP_PASSWORD");
    if (!mail->set_server(widen(argv[3]).c_str(), widen(argv[4]).c_str(),
                          widen(user ? user : "").c_str(),
                          widen(password ? password : "").c_str())) {
        status = failed(mail, "set_server");
    } else {
        status = small ? runSmall(mail, count, size) : runLarge(mail, argv[5]);
    }
    mail->close();
    mail->release();  // slot 1, as hosts destroy the object
    dlclose(module);
    return status;
}
