#include "net_test_support.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace nettest {
namespace {

void collect(const LogEntry2* e, std::vector<Entry>& out) {
    if (!e) return;
    Entry x{e->kind(), e->name() ? e->name()->getString() : "", e->text() ? e->text()->getString() : ""};
    out.push_back(x);
    if (e->children())
        for (uint32_t i = 0; i < e->children()->count(); ++i) collect(e->children()->at<LogEntry2>(i), out);
}

struct ResolverState {
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::string, platform::HostEntry> known;
    std::vector<std::string> calls;
    int finished = 0;
    std::string held;
    uint32_t holdMs = 0;
    bool released = false;
};

ResolverState& state() {
    static ResolverState s;
    return s;
}

bool fakeResolve(const char* name, platform::HostEntry& out) {
    ResolverState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    std::string n = name ? name : "";
    s.calls.push_back(n);
    if (!s.held.empty() && n == s.held) {
        auto done = [&] { return s.released; };
        if (s.holdMs)
            s.cv.wait_for(lock, std::chrono::milliseconds(s.holdMs), done);
        else
            s.cv.wait(lock, done);
    }
    ++s.finished;
    auto it = s.known.find(n);
    if (it == s.known.end()) return false;
    out = it->second;
    return true;
}

}  // namespace

std::vector<Entry> entriesOf(Logger& log) {
    std::vector<Entry> out;
    collect(log.root(), out);
    return out;
}

bool hasError(Logger& log, const std::string& text) {
    for (const Entry& e : entriesOf(log))
        if (e.kind == 'E' && e.text == text) return true;
    return false;
}

bool hasInfo(Logger& log, const std::string& text) {
    for (const Entry& e : entriesOf(log))
        if (e.kind == 'I' && e.text == text) return true;
    return false;
}

std::string dataOf(Logger& log, const std::string& name) {
    for (const Entry& e : entriesOf(log))
        if (e.kind == 'T' && e.name == name) return e.text;
    return "<none>";
}

std::string dump(Logger& log) {
    StringBuffer xml;
    log.GetXml(xml);
    return xml.getString();
}

FakeResolver::FakeResolver() {
    ResolverState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.known.clear();
        s.calls.clear();
        s.finished = 0;
        s.held.clear();
        s.holdMs = 0;
        s.released = false;
    }
    platform::setResolverForTesting(fakeResolve);
}

FakeResolver::~FakeResolver() {
    // A lookup thread still inside fakeResolve finishes on the state, which
    // lives until the process ends.
    release();
    platform::setResolverForTesting(nullptr);
}

void FakeResolver::add(const std::string& name, const std::string& ip, const std::string& official) {
    std::lock_guard<std::mutex> lock(state().mutex);
    platform::HostEntry e;
    e.address = platform::parseIPv4(ip.c_str());
    e.officialName = official.empty() ? name : official;
    state().known[name] = e;
}

void FakeResolver::hold(const std::string& name, uint32_t delayMs) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().held = name;
    state().holdMs = delayMs;
    state().released = false;
}

void FakeResolver::release() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().released = true;
    state().cv.notify_all();
}

std::vector<std::string> FakeResolver::calls() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().calls;
}

int FakeResolver::finishedCalls() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().finished;
}

}  // namespace nettest
