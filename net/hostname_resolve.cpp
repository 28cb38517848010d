#include "net/hostname_resolve.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "diag/log_base.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "platform/threads.h"

namespace {

std::atomic<int> g_live{0};

// The caller checks its time-out this often while it polls.
const uint32_t kPollMs = 10;
const uint32_t kTimeoutCheckMs = 200;

}  // namespace

void RefCountedObject::incRefCount() {
    m_refCount.fetch_add(1);
}

void RefCountedObject::decRefCount() {
    int n = m_refCount.load();
    for (;;) {
        if (n < 1) {
            m_refCount.store(0);
            return;
        }
        if (m_refCount.compare_exchange_weak(n, n - 1)) break;
    }
    if (n == 1) delete this;
}

void formatIPv4(uint32_t address, StringBuffer& out) {
    unsigned char b[4];
    std::memcpy(b, &address, 4);  // network order: first byte first
    char text[20];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    out.setString(text);
}

HostnameResolve::HostnameResolve() {
    g_live.fetch_add(1);
}

HostnameResolve::~HostnameResolve() {
    g_live.fetch_sub(1);
}

HostnameResolve* HostnameResolve::createNew() {
    return new (std::nothrow) HostnameResolve();
}

int HostnameResolve::liveCount() {
    return g_live.load();
}

void HostnameResolve::threadMain(void* self) {
    HostnameResolve* r = static_cast<HostnameResolve*>(self);
    try {
        r->lookUp();
    } catch (...) {
        // Nobody could receive it; the empty result already says "failed".
    }
    r->m_busy.store(false);
    r->decRefCount();
}

void HostnameResolve::lookUp() {
    platform::HostEntry entry;
    if (platform::resolveIPv4(m_name.getString(), entry)) {
        formatIPv4(entry.address, m_resultText);
        m_resultAddress = entry.address;
    } else {
        m_resultText.clear();
        m_resultAddress = 0;
    }
}

bool HostnameResolve::resolve(const char* name, uint32_t timeoutMs, LogBase& log,
                              StringBuffer& ipText, uint32_t& address, bool& timedOut) {
    timedOut = false;
    ipText.clear();
    address = 0;

    m_name.setString(name ? name : "");
    m_name.replaceAll("http://", "");
    m_name.replaceAll("https://", "");
    int cut = m_name.findChar('/');
    if (cut >= 0) m_name.truncate(static_cast<uint32_t>(cut));
    cut = m_name.findChar(':');
    if (cut >= 0) m_name.truncate(static_cast<uint32_t>(cut));
    m_name.trim();
    if (m_name.isEmpty()) {
        log.LogError("Invalid hostname for resolving hostname to IP address.");
        log.LogData("hostname", name ? name : "");
        return false;
    }
    m_timeoutMs = timeoutMs;
    m_resultText.clear();
    m_resultAddress = 0;

    // The thread's own reference keeps this object alive after a caller that
    // gave up has released it.
    incRefCount();
    m_busy.store(true);
    uint32_t started = platform::tickCount();
    if (!platform::startDetachedThread(threadMain, this)) {
        m_busy.store(false);
        decRefCount();
        log.LogError("Failed to start the thread for resolving the hostname.");
        return false;
    }

    uint32_t lastCheck = started;
    while (m_busy.load()) {
        platform::sleepMs(kPollMs);
        uint32_t now = platform::tickCount();
        if (now - lastCheck < kTimeoutCheckMs) continue;
        lastCheck = now;
        if (m_timeoutMs != 0 && now - started > m_timeoutMs && m_busy.load()) {
            timedOut = true;
            return false;
        }
    }
    ipText.setString(m_resultText.getString());
    address = m_resultAddress;
    return !ipText.isEmpty();
}
